#pragma once

#include <wchar.h>
#include <windows.h>
#include <bcrypt.h>

// Digest text: 64 lowercase hexadecimal characters and a terminating zero.
enum { DIGEST_TEXT_BYTES = 65 };

// SHA-256 of the whole content of the file at path, through CNG.
// Success (1): digest_text holds the 64 lowercase hex characters and a NUL
// at index 64; nothing beyond index 64 is written.
// Failure (0): the file cannot be opened or read, or CNG fails; digest_text
// is left untouched. The file is opened with read sharing only.
int sha256_file(const wchar_t *path, char *digest_text);

// 1 when the file at path can be hashed and its digest equals pin (digest
// text as above); digest_text (DIGEST_TEXT_BYTES) receives the digest.
// 0 for a missing or unreadable file or another digest.
int file_matches_pin(const wchar_t *path, const char *pin, char *digest_text);

// The CNG functions a digest calls, bound from bcrypt.dll of the system
// folder for the digest's lifetime.
struct CngApi {
    decltype(&BCryptOpenAlgorithmProvider) OpenAlgorithmProvider;
    decltype(&BCryptGetProperty) GetProperty;
    decltype(&BCryptCreateHash) CreateHash;
    decltype(&BCryptHashData) HashData;
    decltype(&BCryptFinishHash) FinishHash;
    decltype(&BCryptDestroyHash) DestroyHash;
    decltype(&BCryptCloseAlgorithmProvider) CloseAlgorithmProvider;
};

// A SHA-256 computed piece by piece, owned by one thread: sha256_begin,
// then sha256_add for each piece in order, then sha256_end, which releases
// it whatever came before (also after a failed begin).
struct Sha256 {
    HMODULE dll;
    CngApi api;
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_HASH_HANDLE hash;
    unsigned char *object;
    int failed;  // a step failed: sha256_end gives no digest
};
// 1 when the digest is ready for its first piece.
int sha256_begin(Sha256 *digest);
void sha256_add(Sha256 *digest, const void *bytes, unsigned long length);
// 1 with digest_text (DIGEST_TEXT_BYTES) holding the digest of every piece
// added; 0 (digest_text untouched) when a step failed.
int sha256_end(Sha256 *digest, char *digest_text);
