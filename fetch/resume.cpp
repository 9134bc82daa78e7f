#include "fetch/resume.h"

#include <wchar.h>
#include <windows.h>

#include "system/files.h"

enum { MAX_DIGITS = 19 };

int partial_path(wchar_t *out, const wchar_t *dest, const char *pin)
{
    return compose_path(out, WIDE_PATH_CHARS, L"%ls.%.*hs.partial", dest, (int)PARTIAL_PIN_CHARS, pin);
}

int read_decimal(const wchar_t **text, unsigned long long *value)
{
    const wchar_t *p = *text;
    unsigned long long number = 0;
    int digits = 0;
    for (; *p >= L'0' && *p <= L'9'; p++) {
        if (++digits > MAX_DIGITS)
            return 0;
        number = number * 10 + (unsigned)(*p - L'0');
    }
    if (digits == 0)
        return 0;
    *value = number;
    *text = p;
    return 1;
}

int parse_content_range(const wchar_t *text, unsigned long long *first, unsigned long long *last,
                        unsigned long long *total)
{
    unsigned long long a = 0;
    unsigned long long b = 0;
    unsigned long long t = 0;
    const wchar_t *p = text;

    if (wcsncmp(p, L"bytes ", 6) != 0)
        return 0;
    p += 6;
    if (!read_decimal(&p, &a) || *p != L'-')
        return 0;
    p++;
    if (!read_decimal(&p, &b) || *p != L'/')
        return 0;
    p++;
    if (!read_decimal(&p, &t) || *p != 0)
        return 0;
    if (a > b || b >= t)
        return 0;
    *first = a;
    *last = b;
    *total = t;
    return 1;
}

int parse_whole_size(const wchar_t *text, unsigned long long *total)
{
    unsigned long long t = 0;
    const wchar_t *p = text;

    if (wcsncmp(p, L"bytes */", 8) != 0)
        return 0;
    p += 8;
    if (!read_decimal(&p, &t) || *p != 0)
        return 0;
    *total = t;
    return 1;
}

const unsigned RETRY_WAIT_SECONDS[RETRY_WAITS] = {1, 2, 4, 8, 15};

// Two decimal digits at text, into *value.
static int two_digits(const wchar_t *text, unsigned *value)
{
    if (text[0] < L'0' || text[0] > L'9' || text[1] < L'0' || text[1] > L'9')
        return 0;
    *value = (unsigned)(text[0] - L'0') * 10 + (unsigned)(text[1] - L'0');
    return 1;
}

int parse_retry_after(const wchar_t *text, unsigned long long now, unsigned long long *seconds)
{
    static const wchar_t MONTHS[] = L"JanFebMarAprMayJunJulAugSepOctNovDec";
    const wchar_t *p = text;
    unsigned long long value = 0;
    unsigned day = 0, century = 0, year = 0, hour = 0, minute = 0, second = 0;
    SYSTEMTIME when;
    FILETIME stamp;
    ULARGE_INTEGER at;
    int month = -1;

    if (read_decimal(&p, &value) && *p == 0) {
        *seconds = value;
        return 1;
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT": 29 characters in fixed places.
    if (wcslen(text) != 29 || text[3] != L',' || text[4] != L' ' || text[7] != L' ' || text[11] != L' ' ||
        text[16] != L' ' || text[19] != L':' || text[22] != L':' || wcscmp(text + 25, L" GMT") != 0)
        return 0;
    for (int m = 0; m < 12; m++) {
        if (wcsncmp(text + 8, MONTHS + 3 * m, 3) == 0)
            month = m;
    }
    if (month < 0 || !two_digits(text + 5, &day) || !two_digits(text + 12, &century) ||
        !two_digits(text + 14, &year) || !two_digits(text + 17, &hour) || !two_digits(text + 20, &minute) ||
        !two_digits(text + 23, &second))
        return 0;
    ZeroMemory(&when, sizeof(when));
    when.wYear = (WORD)(century * 100 + year);
    when.wMonth = (WORD)(month + 1);
    when.wDay = (WORD)day;
    when.wHour = (WORD)hour;
    when.wMinute = (WORD)minute;
    when.wSecond = (WORD)second;
    if (!SystemTimeToFileTime(&when, &stamp))
        return 0;
    at.LowPart = stamp.dwLowDateTime;
    at.HighPart = stamp.dwHighDateTime;
    *seconds = at.QuadPart > now ? (at.QuadPart - now + 9999999) / 10000000 : 0;
    return 1;
}

int rate_counts(unsigned long long bytes, unsigned long long elapsed_ms)
{
    return bytes * 1000 >= 1024 * elapsed_ms;
}

int next_try(const TryReport *report, int *fruitless, unsigned *wait_seconds)
{
    unsigned long long wait = 0;

    *wait_seconds = 0;
    if (report->progress) {
        *fruitless = 0;
        return 1;
    }
    if (!report->host_answered || *fruitless >= RETRY_WAITS)
        return 0;
    wait = RETRY_WAIT_SECONDS[*fruitless];
    if (report->server_wait > wait)
        wait = report->server_wait < RETRY_AFTER_MAX_SECONDS ? report->server_wait : (unsigned long long)RETRY_AFTER_MAX_SECONDS;
    if (report->idle_ms + wait * 1000 > IDLE_LIMIT_SECONDS * 1000ULL)
        return 0;
    ++*fruitless;
    *wait_seconds = (unsigned)wait;
    return 1;
}
