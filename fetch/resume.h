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

// Retry-After as a server sends it with a 503 or a 429: a number of seconds,
// or an HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") compared
// with now (a FILETIME's 100-ns ticks since 1601, UTC). 1 with *seconds set
// (0 for a date already past); 0 for anything else (*seconds untouched).
int parse_retry_after(const wchar_t *text, unsigned long long now, unsigned long long *seconds);

// The waits before the tries that follow a try without progress.
enum { RETRY_WAITS = 5, RETRY_AFTER_MAX_SECONDS = 60, IDLE_LIMIT_SECONDS = 120 };
extern const unsigned RETRY_WAIT_SECONDS[RETRY_WAITS];

// What a download knows after a try that was not the last.
struct TryReport {
    int progress;                    // the file grew beyond the furthest point, at a rate that counts
    int host_answered;               // the host has answered some request of this session
    unsigned long long server_wait;  // seconds its Retry-After asked for; 0: none
    unsigned long long idle_ms;      // since the call's last progress (or its start), connects included
};

// 1 when bytes arrived in elapsed_ms come at the rate that counts as
// progress, 1 KiB/s (less is a host that trickles).
int rate_counts(unsigned long long bytes, unsigned long long elapsed_ms);

// The next step of a download: 1 to try again after *wait_seconds (0: at
// once), 0 to give up. A try with progress is followed at once and clears
// *fruitless (the tries in a row without one). Otherwise: a host that has
// never answered is not there (0 at once); the sixth fruitless try in a row
// ends it; else the wait is the next of RETRY_WAIT_SECONDS, or the server's
// Retry-After when longer (at most RETRY_AFTER_MAX_SECONDS), unless that
// wait would take the call past IDLE_LIMIT_SECONDS without progress.
int next_try(const TryReport *report, int *fruitless, unsigned *wait_seconds);
