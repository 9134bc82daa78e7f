#include "system/files.h"

#include <stdarg.h>
#include <stdio.h>
#include <windows.h>

int file_exists(const wchar_t *path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
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

int install_copy(const wchar_t *source, const wchar_t *target, const wchar_t *temp)
{
    if (CopyFileW(source, temp, FALSE) && MoveFileExW(temp, target, MOVEFILE_REPLACE_EXISTING))
        return 1;
    DeleteFileW(temp);
    return 0;
}
