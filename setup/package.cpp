#include "setup/package.h"

#include <stdio.h>
#include <windows.h>

#include "fetch/sha256_file.h"
#include "pins.h"
#include "setup/progress.h"

enum { PART_NAME_CHARS = 64, PART_URL_CHARS = 1024 };

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

int build_package(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer)
{
    int ok = 0;
    int created = 0;
    HANDLE package = INVALID_HANDLE_VALUE;
    wchar_t part_name[PART_NAME_CHARS];
    wchar_t part_url[PART_URL_CHARS];

    package = CreateFileW(layout->PayloadArchive, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (package == INVALID_HANDLE_VALUE) {
        printf("Could not create the course package file.\n");
        goto done;
    }
    created = 1;
    for (int n = 1; n <= PART_COUNT; n++) {
        if (!compose_path(part_name, PART_NAME_CHARS, L"zept-payload.part%02d", n) ||
            !compose_path(part_url, PART_URL_CHARS, L"%ls%ls", COURSE_BASE_URL, part_name) ||
            !join_path(layout->PartFile, layout->DownloadsDir, part_name))
            goto done;
        // A part verified by an earlier run is used again as it is.
        if (!file_matches_pin(layout->PartFile, PART_SHA256[n - 1], digest_text)) {
            printf("Downloading course part %d of %d ...\n", n, PART_COUNT);
            if (!download_with_counter(part_url, layout->PartFile, PART_SIZE[n - 1]))
                goto done;
            // What failed its pin goes, so that the next run starts clean.
            if (!file_matches_pin(layout->PartFile, PART_SHA256[n - 1], digest_text)) {
                DeleteFileW(layout->PartFile);
                printf("Course part %d failed its checksum.\n", n);
                goto done;
            }
        }
        if (!append_file(package, layout->PartFile, copy_buffer))
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
