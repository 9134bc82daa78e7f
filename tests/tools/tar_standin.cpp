// Stand-in for the tar.exe of Windows, installed into the test prefix's
// system folder: runs the real bsdtar of the Linux host (the engine behind
// Windows' own tar.exe) with the same arguments, Windows paths converted to
// Unix ones, and exits with bsdtar's exit code. Wine cannot give a Windows
// program a process handle for a Unix program, so this PE stands between.
//
// Windows' tar.exe is bsdtar with a narrow main: its command line reaches it
// through the ANSI code page, best fit included (a character the code page
// lacks arrives as a look-alike or '?'), and it opens files by those narrow
// names. This stand-in sees its command line the same way, so a path that
// Windows' tar could not open is not found here either.
//
// Each start is appended to "tar-record.txt" beside this program, as UTF-8
// lines cmdline= (the command line as Windows passed it) and cwd=.
// A test can plan one extraction to go wrong: "tar-plan.txt" beside this
// program holding "fail TEXT" (print a message, exit 1), "noisy TEXT" (print
// 400 lines of errors, exit 1), "skip TEXT" (extract nothing, exit 0) or
// "wait TEXT" (extract after two seconds: a tar that outlives a killed
// setup) applies to a command line that contains TEXT.
//
// Windows' tar (libarchive's Windows writer) deletes a file that exists
// where an entry goes before it writes the entry; a file in use makes that
// fail ("Can't unlink already-existing object"), tar leaves the entry out,
// goes on and exits 1. The Unix bsdtar behind this stand-in is bound by no
// Windows sharing rule, so the stand-in does that part itself, through the
// Windows API: each existing target file is deleted first, a refusal is
// reported in tar's words, the entry is excluded, and the exit code is 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

typedef char *(CDECL *UnixNameFn)(const wchar_t *);
typedef LONG(CDECL *SpawnFn)(char *const *argv, int wait);

// Conversions between UTF-16 and a code page (best fit included, as Windows
// does for a narrow main); the results are malloc'ed and never freed: the
// program ends right after.
static wchar_t *widen(const char *text, UINT code_page)
{
    int size = MultiByteToWideChar(code_page, 0, text, -1, NULL, 0);
    wchar_t *out = (wchar_t *)calloc(size > 0 ? size : 1, sizeof(wchar_t));
    if (out != NULL && size > 0)
        MultiByteToWideChar(code_page, 0, text, -1, out, size);
    return out;
}

static char *narrow(const wchar_t *text, UINT code_page)
{
    int size = WideCharToMultiByte(code_page, 0, text, -1, NULL, 0, NULL, NULL);
    char *out = (char *)calloc(size > 0 ? size : 1, 1);
    if (out != NULL && size > 0)
        WideCharToMultiByte(code_page, 0, text, -1, out, size, NULL, NULL);
    return out;
}

// Opens the file name beside this program.
static FILE *open_beside(const wchar_t *name, const wchar_t *mode)
{
    static wchar_t path[4096];
    DWORD n = GetModuleFileNameW(NULL, path, 4096);
    wchar_t *slash = wcsrchr(path, L'\\');
    if (n == 0 || n >= 4096 || slash == NULL)
        return NULL;
    wcscpy(slash + 1, name);
    return _wfopen(path, mode);
}

// The planted outcome for this command line: 'f' (fail), 's' (skip) or 0.
static int planned(const wchar_t *command_line)
{
    char line[512] = "";
    FILE *in = open_beside(L"tar-plan.txt", L"rb");
    if (in == NULL)
        return 0;
    size_t n = fread(line, 1, sizeof(line) - 1, in);
    fclose(in);
    line[n] = 0;
    line[strcspn(line, "\r\n")] = 0;
    char *text = strchr(line, ' ');
    if (text == NULL || strstr(narrow(command_line, CP_UTF8), text + 1) == NULL)
        return 0;
    return line[0];
}

static void record(const wchar_t *command_line)
{
    static wchar_t cwd[4096];
    FILE *out = open_beside(L"tar-record.txt", L"ab");
    if (out == NULL)
        return;
    GetCurrentDirectoryW(4096, cwd);
    fprintf(out, "cmdline=%s\ncwd=%s\n", narrow(command_line, CP_UTF8), narrow(cwd, CP_UTF8));
    fclose(out);
}

// Reads a little-endian number of bytes bytes at p.
static unsigned long number(const unsigned char *p, int bytes)
{
    unsigned long value = 0;
    for (int i = bytes - 1; i >= 0; i--)
        value = value << 8 | p[i];
    return value;
}

// Deletes, through the Windows API, each file that exists where an entry of
// the ZIP archive goes below dest; every entry whose file could not be
// deleted is added to argv as "--exclude NAME" (argv has room). Returns the
// number of refusals.
static int unlink_existing(const wchar_t *archive, const wchar_t *dest, char **argv, int *argc)
{
    // Only the end of the archive is read: its end record (in the last
    // 64 KiB + 22 bytes) and the central directory it points to.
    int refused = 0;
    FILE *in = _wfopen(archive, L"rb");
    if (in == NULL)
        return 0;
    _fseeki64(in, 0, SEEK_END);
    long long size = _ftelli64(in);
    long long tail_at = size > 65557 ? size - 65557 : 0;
    long tail_size = (long)(size - tail_at);
    unsigned char *tail = (unsigned char *)malloc(tail_size > 0 ? tail_size : 1);
    _fseeki64(in, tail_at, SEEK_SET);
    if (tail == NULL || fread(tail, 1, tail_size, in) != (size_t)tail_size) {
        fclose(in);
        return 0;
    }
    long end = tail_size - 22;
    while (end >= 0 && number(tail + end, 4) != 0x06054b50)
        end--;
    if (end < 0) {
        fclose(in);
        return 0;
    }
    unsigned long entries = number(tail + end + 10, 2);
    unsigned long directory_size = number(tail + end + 12, 4);
    unsigned char *zip = (unsigned char *)malloc(directory_size > 0 ? directory_size : 1);
    _fseeki64(in, number(tail + end + 16, 4), SEEK_SET);
    if (zip == NULL || fread(zip, 1, directory_size, in) != directory_size) {
        fclose(in);
        return 0;
    }
    fclose(in);
    unsigned long at = 0;
    for (unsigned long i = 0; i < entries && at + 46 <= directory_size; i++) {
        const unsigned char *entry = zip + at;
        unsigned long name_length = number(entry + 28, 2);
        char *name = (char *)calloc(name_length + 1, 1);
        memcpy(name, entry + 46, name_length);
        at += 46 + name_length + number(entry + 30, 2) + number(entry + 32, 2);
        if (name_length == 0 || name[name_length - 1] == '/')
            continue;
        wchar_t *wide = widen(name, (number(entry + 8, 2) & 0x800) ? CP_UTF8 : CP_OEMCP);
        size_t path_length = wcslen(dest) + wcslen(wide) + 2;
        wchar_t *path = (wchar_t *)calloc(path_length, sizeof(wchar_t));
        _snwprintf(path, path_length, L"%ls\\%ls", dest, wide);
        for (wchar_t *c = path; *c; c++) {
            if (*c == L'/')
                *c = L'\\';
        }
        DWORD attributes = GetFileAttributesW(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !DeleteFileW(path)) {
            fprintf(stderr, "tar.exe: %s: Can't unlink already-existing object: Permission denied\n", name);
            argv[(*argc)++] = (char *)"--exclude";
            argv[(*argc)++] = name;
            refused++;
        }
    }
    return refused;
}

int main(void)
{
    record(GetCommandLineW());
    switch (planned(GetCommandLineW())) {
    case 'f':
        fprintf(stderr, "tar.exe: planted failure\n");
        return 1;
    case 'n':
        // A failure that says a lot: 400 lines, about 24 KiB.
        for (int n = 1; n <= 400; n++)
            fprintf(stderr, "tar.exe: course/lesson-%03d.txt: Can't create 'course/lesson-%03d.txt' (%d of 400)\n", n,
                    n, n);
        return 1;
    case 's':
        return 0;
    case 'w':
        Sleep(2000);
        break;
    }
    // What a narrow main receives, split as the C runtime splits it (the
    // rules are those of CommandLineToArgvW for the arguments).
    wchar_t *seen = widen(narrow(GetCommandLineW(), CP_ACP), CP_ACP);
    int argc = 0;
    wchar_t **args = CommandLineToArgvW(seen, &argc);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    UnixNameFn unix_name = (UnixNameFn)(void *)GetProcAddress(kernel, "wine_get_unix_file_name");
    SpawnFn spawn = (SpawnFn)(void *)GetProcAddress(ntdll, "__wine_unix_spawnvp");
    if (args == NULL || unix_name == NULL || spawn == NULL)
        return 2;

    // Room for an "--exclude NAME" pair per archive entry.
    char **argv = (char **)calloc(argc + 1 + 2 * 65536, sizeof(char *));
    const wchar_t *archive = NULL;
    const wchar_t *dest = L".";
    argv[0] = (char *)"bsdtar";
    for (int i = 1; i < argc; i++) {
        if (i > 1 && wcscmp(args[i - 1], L"-xf") == 0)
            archive = args[i];
        if (i > 1 && wcscmp(args[i - 1], L"-C") == 0)
            dest = args[i];
        int is_path = i > 1 && (wcscmp(args[i - 1], L"-xf") == 0 || wcscmp(args[i - 1], L"-f") == 0 ||
                                wcscmp(args[i - 1], L"-C") == 0);
        // Relative paths are taken from the working folder, as tar would.
        argv[i] = is_path ? unix_name(args[i]) : narrow(args[i], CP_UTF8);
        if (argv[i] == NULL)
            argv[i] = (char *)"/nonexistent";
    }
    int refused = archive != NULL ? unlink_existing(archive, dest, argv, &argc) : 0;
    int status = (int)spawn(argv, 1);
    return refused > 0 && status == 0 ? 1 : status;
}
