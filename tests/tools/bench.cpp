// Times the setup's own routines from inside a Windows process, so that the
// start of the process (under Wine, a large part) is not counted:
//   zept-bench.exe sha256 PATH          sha256_file on the file
//   zept-bench.exe sha256-memory PATH   CNG's SHA-256 over the file's bytes,
//                                       read into memory first (not timed)
//   zept-bench.exe download URL DEST    download
// Prints "seconds=S" and "result=R" (the digest text for the hashes, 1 or 0
// for the download); exit code 0 when the routine succeeded.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <bcrypt.h>
#include <shellapi.h>

#include "fetch/download.h"
#include "system/log.h"
#include "fetch/sha256_file.h"
#include "system/console.h"

static double now(void)
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return (double)counter.QuadPart / (double)frequency.QuadPart;
}

// The ceiling for sha256_file: one CNG call over bytes already in memory.
static int hash_in_memory(const wchar_t *path, double *seconds, char *hex)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER size;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size))
        return 0;
    unsigned char *data = (unsigned char *)VirtualAlloc(NULL, (SIZE_T)size.QuadPart + 1, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    unsigned long long have = 0;
    while (data != NULL && have < (unsigned long long)size.QuadPart) {
        DWORD got = 0;
        unsigned long long left = (unsigned long long)size.QuadPart - have;
        DWORD want = left < (1u << 24) ? (DWORD)left : (1u << 24);
        if (!ReadFile(file, data + have, want, &got, NULL) || got == 0)
            break;
        have += got;
    }
    CloseHandle(file);
    if (data == NULL || have != (unsigned long long)size.QuadPart)
        return 0;
    unsigned char digest[32];
    BCRYPT_ALG_HANDLE provider = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    static unsigned char hash_object[4096];
    DWORD object_length = 0;
    ULONG written = 0;
    double start = now();
    NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0);
    if (status == 0)
        status = BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_length, sizeof(object_length),
                                   &written, 0);
    if (status == 0 && object_length > sizeof(hash_object))
        status = 1;
    if (status == 0)
        status = BCryptCreateHash(provider, &hash, hash_object, object_length, NULL, 0, 0);
    if (status == 0)
        status = BCryptHashData(hash, data, (ULONG)have, 0);
    if (status == 0)
        status = BCryptFinishHash(hash, digest, 32, 0);
    *seconds = now() - start;
    if (hash != NULL)
        BCryptDestroyHash(hash);
    if (provider != NULL)
        BCryptCloseAlgorithmProvider(provider, 0);
    VirtualFree(data, 0, MEM_RELEASE);
    for (int i = 0; i < 32; i++)
        sprintf(hex + 2 * i, "%02x", digest[i]);
    return status == 0;
}

struct Counted {
    DWORD at;
    char text[64];
};

static void count_progress(unsigned long long stored, unsigned long long total, int has_total, void *context)
{
    Counted *counted = (Counted *)context;
    DWORD tick = GetTickCount();
    if (tick - counted->at < 250)
        return;
    format_progress(counted->text, sizeof(counted->text), stored, total, has_total);
    counted->at = tick;
}

int main(void)
{
    int argc = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &argc);
    char text[DIGEST_TEXT_BYTES] = "";
    Counted counted = {0, ""};
    double seconds = 0;
    int ok = 0;
    if (args == NULL || argc < 3)
        return 2;
    if (wcscmp(args[1], L"sha256") == 0) {
        double start = now();
        ok = sha256_file(args[2], text);
        seconds = now() - start;
    } else if (wcscmp(args[1], L"sha256-memory") == 0) {
        ok = hash_in_memory(args[2], &seconds, text);
    } else if (wcscmp(args[1], L"download") == 0 && argc == 4) {
        double start = now();
        // With the setup's counter work: a tick count per chunk, the text
        // formatted a few times a second (drawing needs a console).
        DownloadSession net;
        RunLog log;
        log_none(&log);
        begin_download_session(&net, L"zept-bench", &log);
        DownloadWatch watch = {count_progress, NULL, &counted, NULL, NULL};
        ok = download(&net, args[2], args[3], 0, &watch);
        end_download_session(&net);
        seconds = now() - start;
        sprintf(text, "%d", ok);
    } else {
        return 2;
    }
    printf("seconds=%.6f\nresult=%s\n", seconds, text);
    return ok ? 0 : 1;
}
