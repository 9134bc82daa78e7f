#pragma once

#include <wchar.h>

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
