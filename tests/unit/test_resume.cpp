// The resume bookkeeping: Content-Range as servers send it, table-driven.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <wchar.h>

#include "fetch/resume.h"

TEST_CASE("parse_content_range")
{
    struct Row {
        const wchar_t *text;
        int ok;
        unsigned long long first, last, total;
    } rows[] = {
        {L"bytes 270000-299999/300000", 1, 270000, 299999, 300000},
        {L"bytes 0-0/1", 1, 0, 0, 1},
        {L"bytes 5-9999999999999999998/9999999999999999999", 1, 5, 9999999999999999998ULL, 9999999999999999999ULL},
        {L"bytes */300000", 0, 0, 0, 0},         // what a 416 carries
        {L"bytes 0-99/*", 0, 0, 0, 0},           // total unknown
        {L"bytes 100-99/300", 0, 0, 0, 0},       // empty range
        {L"bytes 0-300/300", 0, 0, 0, 0},        // past the end
        {L"bytes 0-99/300 ", 0, 0, 0, 0},
        {L"bytes 0-99", 0, 0, 0, 0},
        {L"bytes 0-", 0, 0, 0, 0},
        {L"bytes -99/300", 0, 0, 0, 0},
        {L"items 0-99/300", 0, 0, 0, 0},
        {L"bytes=0-99/300", 0, 0, 0, 0},
        {L"bytes 0-99/12345678901234567890", 0, 0, 0, 0},  // 20 digits
        {L"", 0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        unsigned long long first = 7, last = 7, total = 7;
        int ok = parse_content_range(row.text, &first, &last, &total);
        CAPTURE(row.text);
        CHECK(ok == row.ok);
        if (row.ok)
            CHECK((first == row.first && last == row.last && total == row.total));
        else
            CHECK((first == 7 && last == 7 && total == 7));
    }
}

TEST_CASE("parse_whole_size")
{
    struct Row {
        const wchar_t *text;
        int ok;
        unsigned long long total;
    } rows[] = {
        {L"bytes */300000", 1, 300000},
        {L"bytes */0", 1, 0},
        {L"bytes */", 0, 0},
        {L"bytes */*", 0, 0},
        {L"bytes */300000 ", 0, 0},
        {L"bytes 0-99/300000", 0, 0},
        {L"bytes */12345678901234567890", 0, 0},
    };
    for (const Row &row : rows) {
        unsigned long long total = 7;
        CAPTURE(row.text);
        CHECK(parse_whole_size(row.text, &total) == row.ok);
        CHECK(total == (row.ok ? row.total : 7));
    }
}

TEST_CASE("partial_path beside the destination, named by the pin")
{
    wchar_t out[4096];
    const char *pin = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    CHECK(partial_path(out, L"C:\\p\\downloads\\python-embed.zip", pin) == 1);
    CHECK(wcscmp(out, L"C:\\p\\downloads\\python-embed.zip.0123456789abcdef.partial") == 0);
    static wchar_t long_dest[4093];
    wmemset(long_dest, L'a', 4092);
    long_dest[4092] = 0;
    CHECK(partial_path(out, long_dest, pin) == 0);
    CHECK(out[0] == 0);
}
