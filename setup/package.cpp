#include "setup/package.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/artefact.h"

enum { PART_NAME_CHARS = 80, PART_URL_CHARS = 1024, PART_TITLE_CHARS = 40, DIGEST_CHARS = 64 };

// The name of part n (from 1) on the host and in the downloads folder: its
// SHA-256 and ".part" when the parts are named by content, else the
// numbered name of hand-pinned parts.
static int part_name(wchar_t *out, int n)
{
    if (PARTS_NAMED_BY_CONTENT)
        return compose_path(out, PART_NAME_CHARS, L"%hs.part", PART_SHA256[n - 1]);
    return compose_path(out, PART_NAME_CHARS, L"zept-payload.part%02d", n);
}

// 1 when name is a part's by its pattern ("<64 hex>.part" or
// "zept-payload.partNN"), or a partial file of one.
static int part_pattern(const wchar_t *name)
{
    size_t length = wcslen(name);
    size_t stem = length;
    if (length > 8 && wcscmp(name + length - 8, L".partial") == 0)
        stem = length - 8;
    if (stem == 19 && wcsncmp(name, L"zept-payload.part", 17) == 0)
        return name[17] >= L'0' && name[17] <= L'9' && name[18] >= L'0' && name[18] <= L'9';
    if (stem != DIGEST_CHARS + 5 || wcsncmp(name + DIGEST_CHARS, L".part", 5) != 0)
        return 0;
    for (int i = 0; i < DIGEST_CHARS; i++) {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            return 0;
    }
    return 1;
}

// 1 when name (or the part whose partial file it is) is one of this
// release's parts.
static int ours(const wchar_t *name)
{
    wchar_t part[PART_NAME_CHARS];
    size_t length = wcslen(name);
    for (int n = 1; n <= PART_COUNT; n++) {
        if (part_name(part, n) && wcsncmp(name, part, wcslen(part)) == 0 &&
            (length == wcslen(part) || wcscmp(name + wcslen(part), L".partial") == 0))
            return 1;
    }
    return 0;
}

void forget_other_parts(const InstallLayout *layout)
{
    WidePath pattern;
    WidePath path;
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;

    if (!join_path(pattern, layout->DownloadsDir, L"*"))
        return;
    search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && part_pattern(found.cFileName) &&
            !ours(found.cFileName) && join_path(path, layout->DownloadsDir, found.cFileName))
            DeleteFileW(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Appends the whole content of the file at path to package. 1 when every
// byte was read and handed to Windows.
static int append_file(HANDLE package, const wchar_t *path, unsigned char *copy_buffer)
{
    int ok = 0;
    HANDLE part = INVALID_HANDLE_VALUE;

    part = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (part == INVALID_HANDLE_VALUE)
        goto done;
    for (;;) {
        DWORD got = 0;
        DWORD put = 0;
        if (!ReadFile(part, copy_buffer, COPY_BUFFER_BYTES, &got, NULL))
            goto done;
        if (got == 0)
            break;
        // A short write is caught by the digest of the whole package.
        if (!WriteFile(package, copy_buffer, got, &put, NULL))
            goto done;
    }
    ok = 1;

done:
    if (part != INVALID_HANDLE_VALUE)
        CloseHandle(part);
    return ok;
}

int fetch_part(InstallLayout *layout, DownloadSession *net, int n, char *digest_text)
{
    wchar_t name[PART_NAME_CHARS];
    wchar_t part_url[PART_URL_CHARS];
    char title[PART_TITLE_CHARS];
    Artefact part = {part_url, PART_SHA256[n - 1], PART_SIZE[n - 1], title};
    ArtefactFailure failure = ARTEFACT_NOT_FETCHED;

    snprintf(title, sizeof(title), "course part %d of %d", n, PART_COUNT);
    if (!part_name(name, n) || !compose_path(part_url, PART_URL_CHARS, L"%ls%ls", COURSE_BASE_URL, name) ||
        !join_path(layout->PartFile, layout->DownloadsDir, name))
        return 0;
    if (obtain_artefact(net, &part, layout->SetupDir, layout->PartFile, digest_text, &failure))
        return 1;
    if (failure == ARTEFACT_REFUSED)
        printf("Course part %d failed its checksum.\n", n);
    return 0;
}

int build_package(InstallLayout *layout, DownloadSession *net, char *digest_text, unsigned char *copy_buffer)
{
    int ok = 0;
    int created = 0;
    HANDLE package = INVALID_HANDLE_VALUE;

    package = CreateFileW(layout->PayloadArchive, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (package == INVALID_HANDLE_VALUE) {
        printf("Could not create the course package file.\n");
        goto done;
    }
    created = 1;
    for (int n = 1; n <= PART_COUNT; n++) {
        if (!fetch_part(layout, net, n, digest_text) || !append_file(package, layout->PartFile, copy_buffer))
            goto done;
    }
    // The package must be closed before it can be hashed.
    CloseHandle(package);
    package = INVALID_HANDLE_VALUE;
    if (!file_matches_pin(layout->PayloadArchive, PAYLOAD_SHA256, digest_text))
        goto done;
    ok = 1;

done:
    if (package != INVALID_HANDLE_VALUE)
        CloseHandle(package);
    // Nothing half-built or unverified may stay for a later run to trust.
    if (created && !ok) {
        DeleteFileW(layout->PayloadArchive);
        printf(PACKAGE_FAILED);
    }
    return ok;
}
