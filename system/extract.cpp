#include "system/extract.h"

#include <string.h>
#include <windows.h>

#include "system/files.h"
#include "system/log.h"
#include "system/process.h"

enum { COMMAND_CHARS = 8192, ERRORS_CHUNK = 16384, ERRORS_MAX = 64 * 1024 * 1024, ERRORS_TAIL = 4096 };

// Windows' tar.exe has a narrow main: its command line is converted to the
// ANSI code page, and a character that code page lacks arrives as a
// look-alike or '?' (C:\Users\Łukasz becomes C:\Users\Lukasz on code page
// 1252). 1 when text passes through unchanged.
static int survives_ansi(const wchar_t *text)
{
    BOOL lost = FALSE;
    // With UTF-8 as the ANSI code page every name survives, and the call
    // below would reject its flags.
    if (GetACP() == CP_UTF8)
        return 1;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, NULL, 0, NULL, &lost) > 0 && !lost;
}

// Length of the deepest folder that holds both archive and dest_dir (dest_dir
// may be that folder itself); 0 when they share none.
static size_t shared_folder(const wchar_t *archive, const wchar_t *dest_dir)
{
    size_t cut = 0;
    size_t i = 0;
    for (; archive[i] != 0 && archive[i] == dest_dir[i]; i++) {
        if (archive[i] == L'\\')
            cut = i;
    }
    if (dest_dir[i] == 0 && archive[i] == L'\\')
        cut = i;
    // "C:" alone would name the drive's current folder, not its root.
    if (cut > 0 && archive[cut - 1] == L':')
        cut++;
    return cut;
}

int tar_command(wchar_t *command, size_t cap, const wchar_t *archive, const wchar_t *dest_dir, wchar_t *work_dir)
{
    const wchar_t *relative_archive;
    const wchar_t *relative_dest;
    size_t cut;

    work_dir[0] = 0;
    if (!compose_path(command, cap, L"tar.exe -xf \"%ls\" -C \"%ls\"", archive, dest_dir))
        return 0;
    if (survives_ansi(command))
        return 1;
    // A profile path that tar would receive mangled: tar starts in the folder
    // that holds both paths (handed over as UTF-16, intact) and is given
    // them relative to it, which within the install root are plain ASCII.
    cut = shared_folder(archive, dest_dir);
    command[0] = 0;
    if (cut == 0 || !compose_path(work_dir, WIDE_PATH_CHARS, L"%.*ls", (int)cut, archive))
        return 0;
    relative_archive = archive + cut;
    relative_dest = dest_dir + cut;
    if (*relative_archive == L'\\')
        relative_archive++;
    if (*relative_dest == L'\\')
        relative_dest++;
    if (*relative_dest == 0)
        relative_dest = L".";
    if (compose_path(command, cap, L"tar.exe -xf \"%ls\" -C \"%ls\"", relative_archive, relative_dest) &&
        survives_ansi(command))
        return 1;
    command[0] = 0;
    work_dir[0] = 0;
    return 0;
}

// A temporary file for a child's standard error, inheritable, deleted
// when the last handle to it is closed. NULL when none can be made.
static HANDLE open_errors_file(void)
{
    WidePath path;
    wchar_t name[48];
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE file;

    swprintf(name, 48, L"zept-tar-%lu.err", GetCurrentProcessId());
    if (!temp_path(path, name))
        return NULL;
    file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    return file;
}

// Keeps the last ERRORS_TAIL bytes of what passes, in tail (*kept bytes);
// *cut becomes 1 once anything before them was dropped.
static void keep_tail(char *tail, size_t *kept, int *cut, const char *chunk, size_t got)
{
    if (got >= ERRORS_TAIL) {
        memcpy(tail, chunk + got - ERRORS_TAIL, ERRORS_TAIL);
        *cut = *cut || *kept > 0 || got > ERRORS_TAIL;
        *kept = ERRORS_TAIL;
        return;
    }
    if (*kept + got > ERRORS_TAIL) {
        size_t drop = *kept + got - ERRORS_TAIL;
        memmove(tail, tail + drop, *kept - drop);
        *kept -= drop;
        *cut = 1;
    }
    memcpy(tail + *kept, chunk, got);
    *kept += got;
}

// Passes what the child wrote to errors on to this program's standard error
// (at most ERRORS_MAX bytes), and its last lines to the log: the last few
// KiB, from the first line that starts in them.
static void pass_on_errors(HANDLE errors, RunLog *log)
{
    char chunk[ERRORS_CHUNK];
    char tail[ERRORS_TAIL];
    size_t kept = 0;
    size_t from = 0;
    int cut = 0;
    DWORD got = 0;
    DWORD put = 0;
    DWORD passed = 0;
    LARGE_INTEGER start = {};
    HANDLE error_out = GetStdHandle(STD_ERROR_HANDLE);

    if (!SetFilePointerEx(errors, start, NULL, FILE_BEGIN))
        return;
    while (passed < ERRORS_MAX && ReadFile(errors, chunk, sizeof(chunk), &got, NULL) && got > 0) {
        if (error_out != NULL && error_out != INVALID_HANDLE_VALUE)
            WriteFile(error_out, chunk, got, &put, NULL);
        passed += got;
        keep_tail(tail, &kept, &cut, chunk, got);
    }
    // A line whose start was dropped is no line.
    if (cut) {
        while (from < kept && tail[from] != '\n')
            from++;
        from = from < kept ? from + 1 : 0;
    }
    if (kept > from)
        log_output(log, "tar", tail + from, kept - from);
}

int start_extraction(Extraction *run, const wchar_t *archive, const wchar_t *dest_dir, RunLog *log)
{
    wchar_t system_dir[MAX_PATH];
    WidePath tar_exe;
    WidePath work_dir;
    wchar_t command[COMMAND_CHARS];
    const wchar_t *current_dir = NULL;  // the setup's own, unless paths go relative
    UINT n;

    ZeroMemory(&run->process, sizeof(run->process));
    run->errors = NULL;
    mkdirs(dest_dir);

    // A bare "tar.exe" would be searched for in this program's folder and
    // the current folder first (typically the user's Downloads), so the
    // program to run is named with its full system-folder path.
    n = GetSystemDirectoryW(system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !compose_path(tar_exe, WIDE_PATH_CHARS, L"%ls\\tar.exe", system_dir) ||
        !tar_command(command, COMMAND_CHARS, archive, dest_dir, work_dir)) {
        log_note(log, L"tar cannot be run for %ls", archive);
        return 0;
    }
    if (work_dir[0] != 0)
        current_dir = work_dir;

    log_note(log, L"tar: %ls (in %ls)", command, current_dir != NULL ? current_dir : L"the setup's folder");
    run->errors = open_errors_file();
    if (!start_process(tar_exe, command, current_dir, run->errors, &run->process)) {
        log_note(log, L"tar could not be started (error %lu)", GetLastError());
        if (run->errors != NULL)
            CloseHandle(run->errors);
        run->errors = NULL;
        return 0;
    }
    return 1;
}

int finish_extraction(Extraction *run, RunLog *log)
{
    DWORD exit_code = 1;  // stays 1 when the query fails

    WaitForSingleObject(run->process.hProcess, INFINITE);
    GetExitCodeProcess(run->process.hProcess, &exit_code);
    log_note(log, L"tar exit code %lu", exit_code);
    if (run->errors != NULL)
        pass_on_errors(run->errors, log);
    close_process(&run->process);
    if (run->errors != NULL)
        CloseHandle(run->errors);
    run->errors = NULL;
    return exit_code == 0;
}

int extract_tar(const wchar_t *archive, const wchar_t *dest_dir, RunLog *log)
{
    Extraction run;
    return start_extraction(&run, archive, dest_dir, log) && finish_extraction(&run, log);
}
