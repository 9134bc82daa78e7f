#include "system/extract.h"

#include <windows.h>

#include "system/files.h"
#include "system/process.h"

enum { COMMAND_CHARS = 8192 };

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

int extract_tar(const wchar_t *archive, const wchar_t *dest_dir)
{
    int ok = 0;
    wchar_t system_dir[MAX_PATH];
    WidePath tar_exe;
    WidePath work_dir;
    wchar_t command[COMMAND_CHARS];
    const wchar_t *current_dir = NULL;  // the setup's own, unless paths go relative
    PROCESS_INFORMATION process;
    DWORD exit_code = 1;  // stays 1 when the query fails
    const wchar_t *relative_archive;
    const wchar_t *relative_dest;
    size_t cut;
    UINT n;

    ZeroMemory(&process, sizeof(process));
    mkdirs(dest_dir);

    // A bare "tar.exe" would be searched for in this program's folder and
    // the current folder first (typically the user's Downloads), so the
    // program to run is named with its full system-folder path.
    n = GetSystemDirectoryW(system_dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        goto done;
    if (!compose_path(tar_exe, WIDE_PATH_CHARS, L"%ls\\tar.exe", system_dir))
        goto done;
    if (!compose_path(command, COMMAND_CHARS, L"tar.exe -xf \"%ls\" -C \"%ls\"", archive, dest_dir))
        goto done;

    // A profile path that tar would receive mangled: tar starts in the folder
    // that holds both paths (handed over as UTF-16, intact) and is given
    // them relative to it, which within the install root are plain ASCII.
    if (!survives_ansi(command)) {
        cut = shared_folder(archive, dest_dir);
        if (cut == 0 || !compose_path(work_dir, WIDE_PATH_CHARS, L"%.*ls", (int)cut, archive))
            goto done;
        relative_archive = archive + cut;
        relative_dest = dest_dir + cut;
        if (*relative_archive == L'\\')
            relative_archive++;
        if (*relative_dest == L'\\')
            relative_dest++;
        if (*relative_dest == 0)
            relative_dest = L".";
        if (!compose_path(command, COMMAND_CHARS, L"tar.exe -xf \"%ls\" -C \"%ls\"", relative_archive,
                          relative_dest))
            goto done;
        if (!survives_ansi(command))
            goto done;
        current_dir = work_dir;
    }

    if (!start_process(tar_exe, command, current_dir, &process))
        goto done;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exit_code);
    ok = exit_code == 0;

done:
    close_process(&process);
    return ok;
}
