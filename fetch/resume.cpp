#include "fetch/resume.h"

#include <wchar.h>

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
