#include "setup/package.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fetch/download.h"
#include "fetch/resume.h"
#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/artefact.h"
#include "system/log.h"

enum { PART_NAME_CHARS = 80, DIGEST_CHARS = 64 };

// The name of part n (from 1) on the host and in the downloads folder: its
// SHA-256 and ".part" when the parts are named by content, else the
// numbered name of hand-pinned parts.
static int part_name(wchar_t *out, int n)
{
    if (PARTS_NAMED_BY_CONTENT)
        return compose_path(out, PART_NAME_CHARS, L"%hs.part", PART_SHA256[n - 1]);
    return compose_path(out, PART_NAME_CHARS, L"zept-payload.part%02d", n);
}

// The length of name without the suffix of a file on its way in (a
// partial file, with or without a pin in its name, or a copy); name's
// whole length when it has none.
static size_t stem_length(const wchar_t *name)
{
    size_t length = wcslen(name);
    if (length > 8 && wcscmp(name + length - 8, L".copying") == 0)
        return length - 8;
    if (length <= 8 || wcscmp(name + length - 8, L".partial") != 0)
        return length;
    length -= 8;
    // ".<PARTIAL_PIN_CHARS hex>" before ".partial", where the pin is named.
    if (length > PARTIAL_PIN_CHARS + 1 && name[length - PARTIAL_PIN_CHARS - 1] == L'.') {
        size_t i = length - PARTIAL_PIN_CHARS;
        while (i < length && ((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            i++;
        if (i == length)
            return length - PARTIAL_PIN_CHARS - 1;
    }
    return length;
}

// 1 when the first stem characters of name are a part's name by its
// pattern ("<64 hex>.part" or "zept-payload.partNN").
static int part_pattern(const wchar_t *name, size_t stem)
{
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

// 1 when name is the artefact file (of the given name and pin) itself, its
// partial file or its copy on the way in.
static int names_artefact(const wchar_t *name, const wchar_t *artefact, const char *pin)
{
    WidePath other;
    return wcscmp(name, artefact) == 0 || (partial_path(other, artefact, pin) && wcscmp(name, other) == 0) ||
           (copying_path(other, artefact) && wcscmp(name, other) == 0);
}

// 1 when name is one of this release's files, or is on its way to being one.
static int ours(const wchar_t *name)
{
    wchar_t part[PART_NAME_CHARS];
    if (names_artefact(name, RUNTIME_NAME, PYTHON_SHA256))
        return 1;
    for (int n = 1; n <= PART_COUNT; n++) {
        if (part_name(part, n) && names_artefact(name, part, PART_SHA256[n - 1]))
            return 1;
    }
    return 0;
}

void delete_other_parts(const wchar_t *folder, int unfinished_only)
{
    WidePath pattern;
    WidePath path;
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;

    if (!join_path(pattern, folder, L"*"))
        return;
    search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, NULL, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const wchar_t *name = found.cFileName;
        size_t stem = stem_length(name);
        int unfinished = stem != wcslen(name);
        int runtime = unfinished && stem == wcslen(RUNTIME_NAME) && wcsncmp(name, RUNTIME_NAME, stem) == 0;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (unfinished || !unfinished_only) &&
            (runtime || part_pattern(name, stem)) && !ours(name) && join_path(path, folder, name))
            DeleteFileW(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

int append_part(HANDLE package, const wchar_t *path, unsigned char *copy_buffer, Sha256 *digest)
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
        sha256_add(digest, copy_buffer, got);
        // A write cut short goes on with the rest, so that what refused it
        // (a full disk) is what the error says.
        for (DWORD done = 0; done < got; done += put) {
            if (!WriteFile(package, copy_buffer + done, got - done, &put, NULL) || put == 0)
                goto done;
        }
    }
    ok = 1;

done:
    if (part != INVALID_HANDLE_VALUE)
        CloseHandle(part);
    return ok;
}

int part_path(InstallLayout *layout, const wchar_t *folder, int n)
{
    wchar_t name[PART_NAME_CHARS];
    return part_name(name, n) && join_path(layout->PartFile, folder, name);
}

int part_artefact(InstallLayout *layout, const wchar_t *folder, int n, wchar_t *url, char *title, Artefact *part)
{
    wchar_t name[PART_NAME_CHARS];

    snprintf(title, PART_TITLE_CHARS, "course part %d of %d", n, PART_COUNT);
    part->url = url;
    part->sha256 = PART_SHA256[n - 1];
    part->size = PART_SIZE[n - 1];
    part->title = title;
    return part_name(name, n) && compose_path(url, PART_URL_CHARS, L"%ls%ls", COURSE_BASE_URL, name) &&
           join_path(layout->PartFile, folder, name);
}

int fetch_part(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, int n, char *digest_text)
{
    wchar_t part_url[PART_URL_CHARS];
    char title[PART_TITLE_CHARS];
    Artefact part;
    ArtefactFailure failure = ARTEFACT_NOT_FETCHED;

    if (!part_artefact(layout, folder, n, part_url, title, &part))
        return 0;
    if (obtain_artefact(net, &part, layout->SetupDir, layout->PartFile, digest_text, &failure))
        return 1;
    if (failure == ARTEFACT_REFUSED)
        say(net->log, PART_REFUSED, n);
    return 0;
}
