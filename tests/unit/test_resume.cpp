// The resume bookkeeping: Content-Range as servers send it, table-driven.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <wchar.h>
#include <windows.h>

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

TEST_CASE("parse_retry_after")
{
    // Now: Sun, 06 Nov 1994 08:49:37 GMT.
    SYSTEMTIME at = {1994, 11, 0, 6, 8, 49, 37, 0};
    FILETIME stamp;
    REQUIRE(SystemTimeToFileTime(&at, &stamp));
    unsigned long long now = ((unsigned long long)stamp.dwHighDateTime << 32) | stamp.dwLowDateTime;
    struct Row {
        const wchar_t *text;
        int ok;
        unsigned long long seconds;
    } rows[] = {
        {L"2", 1, 2},
        {L"0", 1, 0},
        {L"120", 1, 120},
        {L"Sun, 06 Nov 1994 08:49:39 GMT", 1, 2},
        {L"Sun, 06 Nov 1994 08:50:37 GMT", 1, 60},
        {L"Mon, 07 Nov 1994 08:49:37 GMT", 1, 86400},
        {L"Sun, 06 Nov 1994 08:49:00 GMT", 1, 0},  // already past
        {L"Sun, 06 Nov 1994 08:49:39 UTC", 0, 0},
        {L"Sunday, 06-Nov-94 08:49:37 GMT", 0, 0},  // the obsolete forms are not sent by today's hosts
        {L"Sun, 06 Nox 1994 08:49:39 GMT", 0, 0},
        {L"Sun, 32 Nov 1994 08:49:39 GMT", 0, 0},
        {L"Sun, 06 Nov 1994 8:49:39 GMT ", 0, 0},
        {L"-1", 0, 0},
        {L"2.5", 0, 0},
        {L" 2", 0, 0},
        {L"", 0, 0},
    };
    for (const Row &row : rows) {
        unsigned long long seconds = 7;
        CAPTURE(row.text);
        CHECK(parse_retry_after(row.text, now, &seconds) == row.ok);
        CHECK(seconds == (row.ok ? row.seconds : 7));
    }
}

TEST_CASE("next_try: the schedule, the server's word and the bounds")
{
    struct Row {
        const char *what;
        int progress, answered;
        unsigned long long server_wait, idle_ms;
        int fruitless_before;
        int again;
        unsigned wait;
        int fruitless_after;
    } rows[] = {
        {"progress: at once, the count cleared", 1, 1, 0, 0, 4, 1, 0, 0},
        {"progress from a host that never answered cannot happen, but is progress", 1, 0, 0, 0, 0, 1, 0, 0},
        {"no answer from a host never heard: not there", 0, 0, 0, 0, 0, 0, 0, 0},
        {"first fruitless try", 0, 1, 0, 0, 0, 1, 1, 1},
        {"second", 0, 1, 0, 3000, 1, 1, 2, 2},
        {"fifth", 0, 1, 0, 30000, 4, 1, 15, 5},
        {"sixth in a row: given up", 0, 1, 0, 45000, 5, 0, 0, 5},
        {"Retry-After longer than the schedule", 0, 1, 2, 0, 0, 1, 2, 1},
        {"Retry-After shorter than the schedule", 0, 1, 1, 0, 2, 1, 4, 3},
        {"Retry-After beyond a minute: a minute", 0, 1, 3600, 0, 0, 1, 60, 1},
        {"a wait that passes two minutes idle", 0, 1, 0, 117000, 2, 0, 0, 2},
        {"a wait that ends at two minutes", 0, 1, 0, 116000, 1, 1, 2, 2},
        {"Retry-After past the idle bound", 0, 1, 60, 61000, 0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        TryReport report = {row.progress, row.answered, row.server_wait, row.idle_ms};
        int fruitless = row.fruitless_before;
        unsigned wait = 99;
        CAPTURE(row.what);
        CHECK(next_try(&report, &fruitless, &wait) == row.again);
        CHECK(wait == row.wait);
        CHECK(fruitless == row.fruitless_after);
    }
}

TEST_CASE("rate_counts: 1 KiB/s, over a whole window or a part of one")
{
    CHECK(rate_counts(30 * 1024, 30000) == 1);
    CHECK(rate_counts(30 * 1024 - 1, 30000) == 0);
    CHECK(rate_counts(30, 30000) == 0);             // a byte a second
    CHECK(rate_counts(20 * 1024, 10000) == 1);      // 2 KiB/s for a third of a window
    CHECK(rate_counts(5 * 1024, 10000) == 0);
    CHECK(rate_counts(0, 0) == 1);                  // nothing judged yet
    CHECK(rate_counts(1ULL << 40, 1000) == 1);
}
