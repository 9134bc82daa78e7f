#include "system/folders.h"

#include <windows.h>

#include "system/files.h"

enum { MOVE_TRIES = 20, MOVE_PAUSE_MS = 100, ASIDE_SLOTS = 99, MAX_DEPTH = 128 };

int move_folder(const wchar_t *from, const wchar_t *to)
{
    for (int i = 0; i < MOVE_TRIES; i++) {
        if (MoveFileExW(from, to, 0))
            return 1;
        // A name that is taken will not come free by waiting.
        if (GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES)
            return 0;
        Sleep(MOVE_PAUSE_MS);
    }
    return 0;
}

int move_aside(const wchar_t *folder, const wchar_t *trash, wchar_t *moved_to)
{
    moved_to[0] = 0;
    if (GetFileAttributesW(folder) == INVALID_FILE_ATTRIBUTES)
        return 1;
    mkdirs(trash);
    for (int n = 1; n <= ASIDE_SLOTS; n++) {
        if (!compose_path(moved_to, WIDE_PATH_CHARS, L"%ls\\%d", trash, n))
            break;
        if (GetFileAttributesW(moved_to) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (move_folder(folder, moved_to))
            return 1;
        break;
    }
    moved_to[0] = 0;
    return 0;
}

// Removes one entry found below a folder: links as links, folders with
// what they hold, files (read-only ones too).
static void remove_entry(wchar_t *path, size_t length, DWORD attributes, int depth);

// Removes everything below the folder path (length characters; the buffer
// is a WidePath, restored before returning).
static void remove_below(wchar_t *path, size_t length, int depth)
{
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;

    if (depth > MAX_DEPTH || length + 2 >= WIDE_PATH_CHARS)
        return;
    wcscpy(path + length, L"\\*");
    search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    path[length] = 0;
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const wchar_t *name = found.cFileName;
        size_t name_length = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
            continue;
        if (length + 1 + name_length >= WIDE_PATH_CHARS)
            continue;
        path[length] = L'\\';
        wcscpy(path + length + 1, name);
        remove_entry(path, length + 1 + name_length, found.dwFileAttributes, depth);
        path[length] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static void remove_entry(wchar_t *path, size_t length, DWORD attributes, int depth)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A junction or link: Windows removes the link itself. Its target
        // may lie anywhere (a learner's documents): never descend into it.
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveDirectoryW(path);
        else
            DeleteFileW(path);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_below(path, length, depth + 1);
        RemoveDirectoryW(path);
    } else {
        DeleteFileW(path);
    }
}

int remove_tree(const wchar_t *path)
{
    WidePath work;
    size_t length = wcslen(path);
    DWORD attributes = GetFileAttributesW(path);

    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 1;
    if (length >= WIDE_PATH_CHARS)
        return 0;
    wcscpy(work, path);
    remove_entry(work, length, attributes, 0);
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

int program_running(const wchar_t *exe)
{
    HANDLE file = CreateFileW(exe, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return 0;
    }
    // The image of a running process answers this way, under Wine as on
    // Windows (Windows' Restart Manager would say more; Wine's is a stub).
    return GetLastError() == ERROR_SHARING_VIOLATION;
}
