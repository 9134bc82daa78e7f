#include "setup/check.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "setup/package.h"
#include "system/files.h"
#include "system/log.h"

enum {
    END_RECORD_BYTES = 22,
    ENTRY_BYTES = 46,
    NAME_BYTES = 1024,
    CRC_BUFFER_BYTES = 16384,
    DAMAGE_NOTED = 10,
    UTF8_NAMES = 0x0800,  // general-purpose flag: the name is UTF-8, else code page 437
    OEM_US = 437,
};

static const unsigned long END_SIGNATURE = 0x06054b50;
static const unsigned long ENTRY_SIGNATURE = 0x02014b50;

static unsigned little16(const unsigned char *p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8;
}

static unsigned long little32(const unsigned char *p)
{
    return (unsigned long)p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 | (unsigned long)p[3] << 24;
}

// The directory, taken in order through the run's buffer.
struct DirectoryReader {
    HANDLE file;
    unsigned char *buffer;
    DWORD have;               // bytes in buffer
    DWORD at;                 // the next byte to take
    unsigned long long left;  // bytes of the directory not yet taken
};

// Copies the next n bytes of the directory to out (NULL: skips them). 1 when
// the directory holds them.
static int take(DirectoryReader *reader, unsigned char *out, unsigned long n)
{
    if (n > reader->left)
        return 0;
    reader->left -= n;
    while (n > 0) {
        DWORD step;
        if (reader->at == reader->have) {
            DWORD got = 0;
            if (!ReadFile(reader->file, reader->buffer, COPY_BUFFER_BYTES, &got, NULL) || got == 0)
                return 0;
            reader->have = got;
            reader->at = 0;
        }
        step = reader->have - reader->at < n ? reader->have - reader->at : (DWORD)n;
        if (out != NULL) {
            memcpy(out, reader->buffer + reader->at, step);
            out += step;
        }
        reader->at += step;
        n -= step;
    }
    return 1;
}

// Finds the end record in the last bytes of file (size bytes long) and, from
// it, the directory just before it: *start its first byte, *length its
// bytes, *entries how many it holds. 1 when it is a one-disk record whose
// directory lies in the file; a Zip64 one (values with all bits set) is
// not read.
static int find_directory(HANDLE file, unsigned long long size, unsigned char *buffer, unsigned long long *start,
                          unsigned long long *length, unsigned *entries)
{
    DWORD tail = size < COPY_BUFFER_BYTES ? (DWORD)size : (DWORD)COPY_BUFFER_BYTES;
    DWORD got = 0;
    LARGE_INTEGER at;

    at.QuadPart = (LONGLONG)(size - tail);
    if (tail < END_RECORD_BYTES || !SetFilePointerEx(file, at, NULL, FILE_BEGIN) ||
        !ReadFile(file, buffer, tail, &got, NULL) || got != tail)
        return 0;
    // From the end: the record is the one followed by exactly its comment.
    for (DWORD i = tail - END_RECORD_BYTES + 1; i-- > 0;) {
        const unsigned char *record = buffer + i;
        unsigned long long end = size - tail + i;
        if (little32(record) != END_SIGNATURE || i + END_RECORD_BYTES + little16(record + 20) != tail)
            continue;
        if (little16(record + 4) != 0 || little16(record + 6) != 0 || little16(record + 8) != little16(record + 10) ||
            little16(record + 10) == 0xFFFF || little32(record + 12) == 0xFFFFFFFF ||
            little32(record + 16) == 0xFFFFFFFF || little32(record + 12) > end)
            return 0;
        *length = little32(record + 12);
        *start = end - *length;
        *entries = little16(record + 10);
        return 1;
    }
    return 0;
}

// out (a WidePath) = tree + "\" + the entry's name (length bytes, UTF-8 or
// code page 437) with Windows' separators. 1 when the name is a relative
// path of plain components: none empty, "." or "..", no drive, no
// backslash.
static int entry_path(wchar_t *out, const wchar_t *tree, const unsigned char *name, unsigned length, int utf8)
{
    WidePath relative;
    int component = 0;  // characters of the component so far
    int n = MultiByteToWideChar(utf8 ? CP_UTF8 : OEM_US, utf8 ? MB_ERR_INVALID_CHARS : 0, (const char *)name,
                                (int)length, relative, WIDE_PATH_CHARS - 1);
    if (n <= 0)
        return 0;
    relative[n] = 0;
    for (int i = 0; i <= n; i++) {
        wchar_t c = relative[i];
        if (i == n || c == L'/') {
            if (component == 0 || (component <= 2 && relative[i - 1] == L'.' && relative[i - component] == L'.'))
                return 0;
            component = 0;
            if (i < n)
                relative[i] = L'\\';
        } else if (c == 0 || c == L'\\' || c == L':') {
            return 0;
        } else {
            component++;
        }
    }
    return join_path(out, tree, relative);
}

// *crc = the CRC-32 (ZIP's) of the file at path, with table. 1 when the file
// was read whole.
static int file_crc(const wchar_t *path, const unsigned long *table, unsigned long *crc)
{
    int ok = 0;
    unsigned long value = 0xFFFFFFFFUL;
    unsigned char block[CRC_BUFFER_BYTES];
    HANDLE file = INVALID_HANDLE_VALUE;

    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof(block), &got, NULL))
            goto done;
        if (got == 0)
            break;
        for (DWORD i = 0; i < got; i++)
            value = table[(value ^ block[i]) & 0xFF] ^ (value >> 8);
    }
    *crc = value ^ 0xFFFFFFFFUL;
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

// 1 when path is a file of the size the directory entry records and, with a
// table, of its CRC-32.
static int entry_intact(const wchar_t *path, const unsigned char *entry, const unsigned long *table)
{
    WIN32_FILE_ATTRIBUTE_DATA found;
    unsigned long crc = 0;

    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &found) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.nFileSizeHigh != 0 ||
        found.nFileSizeLow != little32(entry + 24))
        return 0;
    return table == NULL || (file_crc(path, table, &crc) && crc == little32(entry + 16));
}

TreeState check_tree(const wchar_t *archive, const wchar_t *tree, int content, RunLog *log, unsigned char *buffer)
{
    TreeState state = TREE_UNCHECKED;
    unsigned long table[256];
    unsigned char entry[ENTRY_BYTES];
    unsigned char name[NAME_BYTES];
    WidePath path;
    unsigned entries = 0;
    unsigned files = 0;
    unsigned damaged = 0;
    unsigned long long start = 0;
    unsigned long long length = 0;
    LARGE_INTEGER size;
    LARGE_INTEGER at;
    DirectoryReader reader;
    HANDLE file = INVALID_HANDLE_VALUE;

    for (unsigned long n = 0; content && n < 256; n++) {
        unsigned long c = n;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    file = CreateFileW(archive, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) ||
        !find_directory(file, (unsigned long long)size.QuadPart, buffer, &start, &length, &entries))
        goto done;
    at.QuadPart = (LONGLONG)start;
    if (!SetFilePointerEx(file, at, NULL, FILE_BEGIN))
        goto done;
    reader.file = file;
    reader.buffer = buffer;
    reader.have = 0;
    reader.at = 0;
    reader.left = length;
    for (unsigned n = 0; n < entries; n++) {
        unsigned name_length;
        if (!take(&reader, entry, ENTRY_BYTES) || little32(entry) != ENTRY_SIGNATURE)
            goto done;
        name_length = little16(entry + 28);
        if (name_length == 0 || name_length > NAME_BYTES || !take(&reader, name, name_length) ||
            !take(&reader, NULL, little16(entry + 30) + little16(entry + 32)))
            goto done;
        // Folders come with their files.
        if (name[name_length - 1] == '/')
            continue;
        if (!entry_path(path, tree, name, name_length, little16(entry + 8) & UTF8_NAMES))
            goto done;
        files++;
        if (!entry_intact(path, entry, content ? table : NULL) && damaged++ < DAMAGE_NOTED)
            log_note(log, L"missing or damaged: %ls", path);
    }
    if (reader.left != 0)
        goto done;
    state = damaged > 0 ? TREE_DAMAGED : TREE_INTACT;

done:
    if (state == TREE_UNCHECKED)
        log_note(log, L"%ls not checked: the directory of %ls could not be read", tree, archive);
    else
        log_note(log, L"%ls: %u files checked (%ls), %u missing or damaged", tree, files,
                 content ? L"size and CRC-32" : L"size", damaged);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return state;
}
