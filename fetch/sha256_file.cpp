#include "fetch/sha256_file.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <bcrypt.h>

#include "system/dll.h"

enum { READ_CHUNK = 65536, DIGEST_BYTES = 32 };

// The CNG functions this routine calls, bound from bcrypt.dll of the system
// folder for the duration of one call.
struct CngApi {
    decltype(&BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
    decltype(&BCryptGetProperty) GetProperty;
    decltype(&BCryptCreateHash) CreateHash;
    decltype(&BCryptHashData) HashData;
    decltype(&BCryptFinishHash) FinishHash;
    decltype(&BCryptDestroyHash) DestroyHash;
    decltype(&BCryptCloseAlgorithmProvider) CloseAlgorithmProvider;
};

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

int sha256_file(const wchar_t *path, char *digest_text)
{
    static const char HEX[] = "0123456789abcdef";
    int ok = 0;
    HMODULE dll = NULL;
    CngApi api = {};
    BCRYPT_ALG_HANDLE provider = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    unsigned char *hash_object = NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD object_length = 0;
    ULONG written = 0;
    unsigned char buffer[READ_CHUNK];
    unsigned char digest[DIGEST_BYTES];

    dll = load_system_dll(L"bcrypt.dll");
    if (dll == NULL || !bind_cng(dll, &api))
        goto done;
    if (api.OpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0) != 0) {
        provider = NULL;
        goto done;
    }
    if (api.GetProperty(provider, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_length,
                          sizeof(object_length), &written, 0) != 0)
        goto done;
    hash_object = (unsigned char *)malloc(object_length);
    if (hash_object == NULL)
        goto done;
    if (api.CreateHash(provider, &hash, hash_object, object_length, NULL, 0, 0) != 0) {
        hash = NULL;
        goto done;
    }

    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        goto done;

    // Only a read of zero bytes ends the file; the size is never asked for.
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, READ_CHUNK, &got, NULL))
            goto done;
        if (got == 0)
            break;
        if (api.HashData(hash, buffer, got, 0) != 0)
            goto done;
    }
    if (api.FinishHash(hash, digest, DIGEST_BYTES, 0) != 0)
        goto done;

    for (int i = 0; i < DIGEST_BYTES; i++) {
        digest_text[2 * i] = HEX[digest[i] >> 4];
        digest_text[2 * i + 1] = HEX[digest[i] & 15];
    }
    digest_text[64] = 0;
    ok = 1;

done:
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (hash != NULL)
        api.DestroyHash(hash);
    if (hash_object != NULL)
        free(hash_object);
    if (provider != NULL)
        api.CloseAlgorithmProvider(provider, 0);
    if (dll != NULL)
        FreeLibrary(dll);
    return ok;
}

int file_matches_pin(const wchar_t *path, const char *pin, char *digest_text)
{
    return sha256_file(path, digest_text) && strcmp(digest_text, pin) == 0;
}
