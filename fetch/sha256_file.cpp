#include "fetch/sha256_file.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <bcrypt.h>

#include "system/dll.h"

enum { READ_CHUNK = 65536, DIGEST_BYTES = 32 };

static int bind_cng(HMODULE dll, CngApi *api)
{
    return bind_function(dll, "BCryptOpenAlgorithmProvider", &api->OpenAlgorithmProvider) &&
           bind_function(dll, "BCryptGetProperty", &api->GetProperty) &&
           bind_function(dll, "BCryptCreateHash", &api->CreateHash) &&
           bind_function(dll, "BCryptHashData", &api->HashData) &&
           bind_function(dll, "BCryptFinishHash", &api->FinishHash) &&
           bind_function(dll, "BCryptDestroyHash", &api->DestroyHash) &&
           bind_function(dll, "BCryptCloseAlgorithmProvider", &api->CloseAlgorithmProvider);
}

int sha256_begin(Sha256 *digest)
{
    DWORD object_length = 0;
    ULONG written = 0;

    digest->api = CngApi();
    digest->provider = NULL;
    digest->hash = NULL;
    digest->object = NULL;
    digest->failed = 1;
    digest->dll = load_system_dll(L"bcrypt.dll");
    if (digest->dll == NULL || !bind_cng(digest->dll, &digest->api))
        return 0;
    if (digest->api.OpenAlgorithmProvider(&digest->provider, BCRYPT_SHA256_ALGORITHM, NULL, 0) != 0) {
        digest->provider = NULL;
        return 0;
    }
    if (digest->api.GetProperty(digest->provider, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_length,
                                sizeof(object_length), &written, 0) != 0)
        return 0;
    digest->object = (unsigned char *)malloc(object_length);
    if (digest->object == NULL)
        return 0;
    if (digest->api.CreateHash(digest->provider, &digest->hash, digest->object, object_length, NULL, 0, 0) != 0) {
        digest->hash = NULL;
        return 0;
    }
    digest->failed = 0;
    return 1;
}

void sha256_add(Sha256 *digest, const void *bytes, unsigned long length)
{
    if (!digest->failed && digest->api.HashData(digest->hash, (PUCHAR)bytes, length, 0) != 0)
        digest->failed = 1;
}

int sha256_end(Sha256 *digest, char *digest_text)
{
    static const char HEX[] = "0123456789abcdef";
    unsigned char bytes[DIGEST_BYTES];
    int ok = !digest->failed && digest->api.FinishHash(digest->hash, bytes, DIGEST_BYTES, 0) == 0;

    if (ok) {
        for (int i = 0; i < DIGEST_BYTES; i++) {
            digest_text[2 * i] = HEX[bytes[i] >> 4];
            digest_text[2 * i + 1] = HEX[bytes[i] & 15];
        }
        digest_text[64] = 0;
    }
    if (digest->hash != NULL)
        digest->api.DestroyHash(digest->hash);
    if (digest->object != NULL)
        free(digest->object);
    if (digest->provider != NULL)
        digest->api.CloseAlgorithmProvider(digest->provider, 0);
    if (digest->dll != NULL)
        FreeLibrary(digest->dll);
    digest->hash = NULL;
    digest->object = NULL;
    digest->provider = NULL;
    digest->dll = NULL;
    return ok;
}

int sha256_file(const wchar_t *path, char *digest_text)
{
    int ok = 0;
    Sha256 digest;
    HANDLE file = INVALID_HANDLE_VALUE;
    unsigned char buffer[READ_CHUNK];

    if (!sha256_begin(&digest))
        goto done;
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;
    // Only a read of zero bytes ends the file; the size is never asked for.
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, READ_CHUNK, &got, NULL))
            goto done;
        if (got == 0)
            break;
        sha256_add(&digest, buffer, got);
    }
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    // Released on every path; a digest of part of the file is no digest.
    if (!ok)
        digest.failed = 1;
    return sha256_end(&digest, digest_text);
}

int file_matches_pin(const wchar_t *path, const char *pin, char *digest_text)
{
    return sha256_file(path, digest_text) && strcmp(digest_text, pin) == 0;
}
