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

// What a walk does with each entry below a folder: path (a WidePath of
// length characters, restored by the caller) and its attributes and size.
typedef void (*EntryVisit)(wchar_t *path, const WIN32_FIND_DATAW *found, void *context);

// Visits everything below the folder path (length characters), each folder
// after what it holds. A junction or symbolic link is visited as a leaf and
// never entered: its target may lie anywhere (a learner's documents).
static void walk_below(wchar_t *path, size_t length, int depth, EntryVisit visit, void *context)
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
        DWORD attributes = found.dwFileAttributes;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
            continue;
        if (length + 1 + name_length >= WIDE_PATH_CHARS)
            continue;
        path[length] = L'\\';
        wcscpy(path + length + 1, name);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            walk_below(path, length + 1 + name_length, depth + 1, visit, context);
        visit(path, &found, context);
        path[length] = 0;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Removes one entry: a link as a link (Windows' RemoveDirectoryW removes a
// junction or folder link itself), an emptied folder, a file (read-only too).
static void remove_entry(wchar_t *path, const WIN32_FIND_DATAW *found, void *context)
{
    DWORD attributes = found->dwFileAttributes;
    (void)context;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryW(path);
    else
        DeleteFileW(path);
}

static void add_size(wchar_t *path, const WIN32_FIND_DATAW *found, void *context)
{
    (void)path;
    if (!(found->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        *(unsigned long long *)context += (unsigned long long)found->nFileSizeHigh << 32 | found->nFileSizeLow;
}

int remove_tree(const wchar_t *path)
{
    WidePath work;
    WIN32_FIND_DATAW self;
    size_t length = wcslen(path);
    DWORD attributes = GetFileAttributesW(path);

    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 1;
    if (length >= WIDE_PATH_CHARS)
        return 0;
    wcscpy(work, path);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        walk_below(work, length, 0, remove_entry, NULL);
    self.dwFileAttributes = attributes;
    remove_entry(work, &self, NULL);
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

// Visits everything below folder (walk_below). 0 when its path is too long
// to walk.
static int walk_tree(const wchar_t *folder, EntryVisit visit, void *context)
{
    WidePath work;
    size_t length = wcslen(folder);
    if (length >= WIDE_PATH_CHARS)
        return 0;
    wcscpy(work, folder);
    walk_below(work, length, 0, visit, context);
    return 1;
}

unsigned long long tree_size(const wchar_t *folder)
{
    unsigned long long bytes = 0;
    walk_tree(folder, add_size, &bytes);
    return bytes;
}

// context: the first failure's error, 0 while there is none.
static void flush_entry(wchar_t *path, const WIN32_FIND_DATAW *found, void *context)
{
    DWORD *first = (DWORD *)context;
    if (!(found->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        !flush_file(path) && *first == 0)
        *first = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
}

int flush_tree(const wchar_t *folder)
{
    DWORD first = 0;
    int walked = walk_tree(folder, flush_entry, &first);
    if (first != 0)
        SetLastError(first);
    return walked && first == 0;
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
