#pragma once

#include <wchar.h>

// The bookkeeping of a download that resumes: where its bytes wait, and
// whether a server's answer to "Range: bytes=N-" continues them.

// Characters of a pin that a partial file's name carries.
enum { PARTIAL_PIN_CHARS = 16 };

// out (a WidePath) = dest + "." + the first PARTIAL_PIN_CHARS characters of
// pin (digest text) + ".partial": where the bytes of a download of dest
// wait until they are complete and verified. Never dest's own name, so that
// nothing unverified is ever found where a verified file is expected; the
// pin in the name keeps one artefact's bytes from being resumed as
// another's (a release with another runtime). 1 when it fits; 0 when it
// would not (out empty).
int partial_path(wchar_t *out, const wchar_t *dest, const char *pin);

// Reads a Content-Range value of the form "bytes FIRST-LAST/TOTAL" (decimal
// numbers, FIRST <= LAST < TOTAL). 1 with the three numbers set; 0 for
// anything else ("bytes */TOTAL", an unknown total "*", other units, stray
// characters, numbers of more than 19 digits), the numbers then untouched.
int parse_content_range(const wchar_t *text, unsigned long long *first, unsigned long long *last,
                        unsigned long long *total);

// Reads the Content-Range of a 416, "bytes */TOTAL": the size of the whole
// file. 1 with *total set; 0 for anything else (*total untouched).
int parse_whole_size(const wchar_t *text, unsigned long long *total);

// Numbers as they stand in HTTP headers: the decimal digits at *text (at
// most 19) into *value, *text moved past them. 1 when there was at least
// one digit; 0 otherwise (*text and *value untouched).
int read_decimal(const wchar_t **text, unsigned long long *value);
