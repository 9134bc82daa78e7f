#include "system/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

enum {
    ENTRY_CHARS = 2048,     // one entry, before UTF-8
    ENTRY_BYTES = 6200,     // one entry in UTF-8, with its time and mark
    OUTPUT_LINES = 64,      // of a child's diagnostics, the last ones
    OUTPUT_LINE_BYTES = 400,
    SAME_SECOND_TRIES = 9,  // " (2)" to " (9)"
    PRUNE_PASSES = 1000     // files deleted at most, one per pass
};

void log_none(RunLog *log)
{
    log->file = INVALID_HANDLE_VALUE;
    log->began = GetTickCount64();
    log->path[0] = 0;
}

int log_open(RunLog *log, const wchar_t *path, int fresh)
{
    HANDLE file;
    DWORD n;

    log_none(log);
    n = GetFullPathNameW(path, WIDE_PATH_CHARS, log->path, NULL);
    if (n == 0 || n >= WIDE_PATH_CHARS) {
        log->path[0] = 0;
        return 0;
    }
    // Appending only: each write lands at the end, also when another run
    // writes to the same file.
    file = CreateFileW(log->path, FILE_APPEND_DATA | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, fresh ? CREATE_NEW : OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        log->path[0] = 0;
        return 0;
    }
    log->file = file;
    return 1;
}

void log_close(RunLog *log)
{
    if (log->file != INVALID_HANDLE_VALUE)
        CloseHandle(log->file);
    log_none(log);
}

// 1 when name is prefix + " " + anything + ".log" (a short 8.3 name can
// match a pattern that the long name does not).
static int is_dated_log(const wchar_t *name, const wchar_t *prefix)
{
    size_t p = wcslen(prefix);
    size_t n = wcslen(name);
    return n > p + 5 && _wcsnicmp(name, prefix, p) == 0 && name[p] == L' ' && _wcsicmp(name + n - 4, L".log") == 0;
}

// The order of dated logs: by last write, then by name. Negative when a
// comes before b.
static int log_order(const FILETIME *a_time, const wchar_t *a_name, const FILETIME *b_time, const wchar_t *b_name)
{
    LONG order = CompareFileTime(a_time, b_time);
    return order != 0 ? (int)order : wcscmp(a_name, b_name);
}

// Deletes the oldest dated logs while more than keep are there. The open
// log is the newest and never deleted; one that cannot be deleted (read-
// only, in use) is passed over, and the next oldest goes instead.
static void keep_newest(const wchar_t *folder, const wchar_t *prefix, int keep, const wchar_t *own)
{
    WidePath pattern;
    WidePath oldest_path;
    // Every log up to this one (in log_order) is gone or cannot be deleted.
    FILETIME floor_time = {0, 0};
    wchar_t floor_name[MAX_PATH] = L"";

    if (!compose_path(pattern, WIDE_PATH_CHARS, L"%ls\\%ls *.log", folder, prefix))
        return;
    for (int pass = 0; pass < PRUNE_PASSES; pass++) {
        WIN32_FIND_DATAW found;
        FILETIME oldest_time = {0, 0};
        wchar_t oldest[MAX_PATH] = L"";
        int count = 0;
        HANDLE search = FindFirstFileW(pattern, &found);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !is_dated_log(found.cFileName, prefix))
                continue;
            count++;
            if (_wcsicmp(found.cFileName, own) == 0 ||
                (floor_name[0] != 0 &&
                 log_order(&found.ftLastWriteTime, found.cFileName, &floor_time, floor_name) <= 0))
                continue;
            if (oldest[0] == 0 || log_order(&found.ftLastWriteTime, found.cFileName, &oldest_time, oldest) < 0) {
                oldest_time = found.ftLastWriteTime;
                wcscpy(oldest, found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if (count <= keep || oldest[0] == 0 || !join_path(oldest_path, folder, oldest))
            return;
        if (!DeleteFileW(oldest_path)) {
            floor_time = oldest_time;
            wcscpy(floor_name, oldest);
        }
    }
}

int log_open_dated(RunLog *log, const wchar_t *folder, const wchar_t *prefix, int keep)
{
    SYSTEMTIME now;
    WidePath path;
    wchar_t again[8] = L"";
    const wchar_t *own;

    GetLocalTime(&now);
    for (int n = 1; n <= SAME_SECOND_TRIES; n++) {
        if (n > 1)
            swprintf(again, 8, L" (%d)", n);
        if (!compose_path(path, WIDE_PATH_CHARS, L"%ls\\%ls %04u-%02u-%02u %02u.%02u.%02u%ls.log", folder, prefix,
                          now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, again))
            return 0;
        if (log_open(log, path, 1))
            break;
        if (GetLastError() != ERROR_FILE_EXISTS)
            return 0;
    }
    if (log->file == INVALID_HANDLE_VALUE)
        return 0;
    own = wcsrchr(log->path, L'\\');
    keep_newest(folder, prefix, keep, own != NULL ? own + 1 : log->path);
    return 1;
}

// Writes one entry: the seconds since the opening, the mark, the text
// (length bytes of UTF-8) and a line end.
static void write_entry(RunLog *log, char mark, const char *text, size_t length)
{
    char entry[ENTRY_BYTES];
    unsigned long long ms = GetTickCount64() - log->began;
    int head = snprintf(entry, sizeof(entry), "%5llu.%03llu %c ", ms / 1000, ms % 1000, mark);
    DWORD put = 0;

    if (head <= 0)
        return;
    if (length > sizeof(entry) - (size_t)head - 2)
        length = sizeof(entry) - (size_t)head - 2;
    memcpy(entry + head, text, length);
    memcpy(entry + head + length, "\r\n", 2);
    WriteFile(log->file, entry, (DWORD)(head + length + 2), &put, NULL);
}

// Each line of text (length bytes in code page page) as one entry.
static void write_lines(RunLog *log, char mark, const char *text, size_t length, UINT page)
{
    wchar_t wide[ENTRY_CHARS];
    char utf8[ENTRY_BYTES];
    size_t start = 0;

    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n')
            end++;
        size_t line = end - start;
        if (line > 0 && text[start + line - 1] == '\r')
            line--;
        if (line > 0) {
            int w = MultiByteToWideChar(page, 0, text + start, (int)(line < ENTRY_CHARS ? line : ENTRY_CHARS - 1),
                                        wide, ENTRY_CHARS);
            int u = w > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide, w, utf8, sizeof(utf8), NULL, NULL) : 0;
            if (u > 0)
                write_entry(log, mark, utf8, (size_t)u);
        }
        start = end + 1;
    }
}

void log_note(RunLog *log, const wchar_t *format, ...)
{
    wchar_t text[ENTRY_CHARS];
    char utf8[ENTRY_BYTES];
    va_list args;
    int n;

    if (log->file == INVALID_HANDLE_VALUE)
        return;
    va_start(args, format);
    n = _vsnwprintf(text, ENTRY_CHARS, format, args);
    va_end(args);
    // Cut, and terminated, when it did not fit.
    if (n < 0 || n >= ENTRY_CHARS)
        n = ENTRY_CHARS - 1;
    int u = WideCharToMultiByte(CP_UTF8, 0, text, n, utf8, sizeof(utf8), NULL, NULL);
    if (u > 0)
        write_entry(log, ' ', utf8, (size_t)u);
}

void say(RunLog *log, const char *format, ...)
{
    char text[ENTRY_CHARS];
    va_list args;
    int n;

    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    if (log->file == INVALID_HANDLE_VALUE)
        return;
    va_start(args, format);
    n = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0)
        return;
    write_lines(log, '>', text, (size_t)n < sizeof(text) ? (size_t)n : sizeof(text) - 1, CP_ACP);
}

void log_output(RunLog *log, const char *label, const char *text, size_t length)
{
    char line[OUTPUT_LINE_BYTES + 64];
    size_t start = 0;
    int lines = 0;

    if (log->file == INVALID_HANDLE_VALUE)
        return;
    // The last OUTPUT_LINES lines: the ones before are passed over.
    for (size_t i = 0; i < length; i++)
        lines += text[i] == '\n' || i + 1 == length;
    for (; lines > OUTPUT_LINES && start < length; start++)
        lines -= text[start] == '\n';
    while (start < length) {
        size_t end = start;
        while (end < length && text[end] != '\n')
            end++;
        size_t cut = end - start < (size_t)OUTPUT_LINE_BYTES ? end - start : (size_t)OUTPUT_LINE_BYTES;
        int head = snprintf(line, sizeof(line), "%s: ", label);
        if (head > 0 && (size_t)head < 64) {
            memcpy(line + head, text + start, cut);
            write_lines(log, ' ', line, (size_t)head + cut, CP_ACP);
        }
        start = end + 1;
    }
}
