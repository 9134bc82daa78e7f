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

static void record(const wchar_t *command_line)
{
    static wchar_t path[4096];
    static wchar_t cwd[4096];
    DWORD n = GetModuleFileNameW(NULL, path, 4096);
    wchar_t *slash = wcsrchr(path, L'\\');
    if (n == 0 || n >= 4096 || slash == NULL)
        return;
    wcscpy(slash + 1, L"tar-record.txt");
    FILE *out = _wfopen(path, L"ab");
    if (out == NULL)
        return;
    GetCurrentDirectoryW(4096, cwd);
    fprintf(out, "cmdline=%s\ncwd=%s\n", narrow(command_line, CP_UTF8), narrow(cwd, CP_UTF8));
    fclose(out);
}

int main(void)
{
    record(GetCommandLineW());
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

    char **argv = (char **)calloc(argc + 1, sizeof(char *));
    argv[0] = (char *)"bsdtar";
    for (int i = 1; i < argc; i++) {
        int is_path = i > 1 && (wcscmp(args[i - 1], L"-xf") == 0 || wcscmp(args[i - 1], L"-f") == 0 ||
                                wcscmp(args[i - 1], L"-C") == 0);
        // Relative paths are taken from the working folder, as tar would.
        argv[i] = is_path ? unix_name(args[i]) : narrow(args[i], CP_UTF8);
        if (argv[i] == NULL)
            argv[i] = (char *)"/nonexistent";
    }
    return (int)spawn(argv, 1);
}
