#include "system/files.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

enum { TEMP_FOLDER_CHARS = MAX_PATH + 1 };

int file_exists(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
}

int folder_exists(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void mkdirs(const wchar_t *path)
{
    WidePath work;
    size_t length = wcslen(path);
    if (length >= WIDE_PATH_CHARS)
        return;
    wcscpy(work, path);

    // The first two characters are never cut points, so "C:" stays whole.
    for (size_t i = 2; i < length; i++) {
        wchar_t c = work[i];
        if (c != L'\\' && c != L'/')
            continue;
        work[i] = 0;
        CreateDirectoryW(work, NULL);
        work[i] = c;
    }
    CreateDirectoryW(work, NULL);
}

int compose_path(wchar_t *out, size_t cap, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    // The formatter leaves a buffer that it fills exactly unterminated, and
    // reports -1 when the text is longer: both count as "does not fit".
    int n = _vsnwprintf(out, cap, format, args);
    va_end(args);
    if (n < 0 || (size_t)n >= cap) {
        if (cap > 0)
            out[0] = 0;
        return 0;
    }
    return 1;
}

int join_path(wchar_t *out, const wchar_t *parent, const wchar_t *child)
{
    return compose_path(out, WIDE_PATH_CHARS, L"%ls\\%ls", parent, child);
}

int path_within(const wchar_t *path, const wchar_t *folder)
{
    size_t length = wcslen(folder);
    // "C:\" holds "C:\x"; "C:\a" holds "C:\a\x" but not "C:\ab".
    if (length > 0 && folder[length - 1] == L'\\')
        length--;
    if (wcslen(path) < length || CompareStringOrdinal(path, (int)length, folder, (int)length, TRUE) != CSTR_EQUAL)
        return 0;
    return path[length] == 0 || path[length] == L'\\';
}

int program_path(wchar_t *out)
{
    // A path that does not fit is cut and reported by the full buffer.
    DWORD n = GetModuleFileNameW(NULL, out, WIDE_PATH_CHARS);
    if (n == 0 || n >= WIDE_PATH_CHARS) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

int temp_path(wchar_t *out, const wchar_t *name)
{
    // Windows names a temporary folder of at most MAX_PATH characters and
    // a backslash; a longer one is reported by its needed size and leaves
    // the buffer unfilled.
    wchar_t folder[TEMP_FOLDER_CHARS];
    DWORD n = GetTempPathW(TEMP_FOLDER_CHARS, folder);
    if (n == 0 || n >= TEMP_FOLDER_CHARS) {
        out[0] = 0;
        return 0;
    }
    return compose_path(out, WIDE_PATH_CHARS, L"%ls%ls", folder, name);
}

int read_file_start(const wchar_t *path, char *buffer, unsigned long cap, unsigned long *got)
{
    int ok = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD read = 0;

    *got = 0;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;
    if (!ReadFile(file, buffer, cap, &read, NULL))
        goto done;
    *got = read;
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

int copy_file(const wchar_t *source, const wchar_t *target)
{
    return CopyFileW(source, target, FALSE) && SetFileAttributesW(target, FILE_ATTRIBUTE_NORMAL);
}

int flush_file(const wchar_t *path)
{
    int ok = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD attributes = GetFileAttributesW(path);
    int read_only = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    DWORD error = 0;

    // Flushing needs write access, which a read-only file refuses.
    if (read_only && !SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY))
        goto done;
    file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;
    ok = FlushFileBuffers(file);

done:
    error = ok ? 0 : GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (read_only)
        SetFileAttributesW(path, attributes);
    if (!ok)
        SetLastError(error);
    return ok;
}

int make_final(const wchar_t *temp, const wchar_t *target)
{
    return flush_file(temp) && MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

int install_copy(const wchar_t *source, const wchar_t *target, const wchar_t *temp)
{
    if (copy_file(source, temp) && make_final(temp, target))
        return 1;
    DeleteFileW(temp);
    return 0;
}

int disk_full_error(unsigned long error)
{
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

int short_of_space(const wchar_t *folder, unsigned long long bytes)
{
    ULARGE_INTEGER free_bytes;
    if (!GetDiskFreeSpaceExW(folder, &free_bytes, NULL, NULL))
        return 0;
    return free_bytes.QuadPart < bytes;
}

int write_whole_file(const wchar_t *path, const void *data, unsigned long length)
{
    int ok = 0;
    int created = 0;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD put = 0;
    DWORD error = 0;

    file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;
    created = 1;
    if (!WriteFile(file, data, length, &put, NULL) || put != length)
        goto done;
    // On disk before it counts; a full disk may refuse the data only here.
    if (!FlushFileBuffers(file))
        goto done;
    ok = CloseHandle(file);
    file = INVALID_HANDLE_VALUE;

done:
    error = ok ? 0 : GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!ok && created)
        DeleteFileW(path);
    if (!ok)
        SetLastError(error);
    return ok;
}
