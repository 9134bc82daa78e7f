// The download counter's text, table-driven.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <string.h>

#include "system/console.h"

TEST_CASE("format_progress")
{
    const unsigned long long MB = 1048576;
    struct Row {
        unsigned long long stored, total;
        int has_total;
        const char *text;
    } rows[] = {
        {0, 48 * MB, 1, "  0.0 of 48.0 MB (0 %)"},
        {12 * MB + 450000, 48 * MB, 1, "  12.4 of 48.0 MB (25 %)"},
        {48 * MB - 1, 48 * MB, 1, "  47.9 of 48.0 MB (99 %)"},
        {48 * MB, 48 * MB, 1, "  48.0 of 48.0 MB (100 %)"},
        {104857, 104858, 1, "  0.0 of 0.1 MB (99 %)"},
        {300000, 300000, 1, "  0.2 of 0.2 MB (100 %)"},
        {5, 0, 1, "  0.0 of 0.0 MB (100 %)"},
        {12 * MB + 450000, 0, 0, "  12.4 MB"},
        {0, 0, 0, "  0.0 MB"},
        {3000ULL * 1024 * MB, 4000ULL * 1024 * MB, 1, "  3072000.0 of 4096000.0 MB (75 %)"},
    };
    for (const Row &row : rows) {
        char out[64];
        format_progress(out, sizeof(out), row.stored, row.total, row.has_total);
        CHECK_MESSAGE(strcmp(out, row.text) == 0, row.text, " got ", out);
    }
    // Cut to fit, always terminated.
    char small[8];
    format_progress(small, sizeof(small), 12 * MB, 48 * MB, 1);
    CHECK(strcmp(small, "  12.0 ") == 0);
}

TEST_CASE("format_install_progress")
{
    const unsigned long long MB = 1048576;
    struct Row {
        unsigned long long stored, total;
        int has_total, has_rate;
        unsigned long long per_second;
        long long left;
        const char *text;
    } rows[] = {
        {21 * MB + 330000, 68 * MB + 630000, 1, 1, 2 * MB + 450000, 20, "  21.3 of 68.6 MB (31 %), 2.4 MB/s, about 20 s left"},
        {MB, 68 * MB, 1, 0, 0, -1, "  1.0 of 68.0 MB (1 %)"},
        {MB, 68 * MB, 1, 1, 524288, -1, "  1.0 of 68.0 MB (1 %), 512 KB/s"},
        {MB, 68 * MB, 1, 1, 0, -1, "  1.0 of 68.0 MB (1 %), 0 KB/s"},
        {MB, 68 * MB, 1, 1, MB, 59, "  1.0 of 68.0 MB (1 %), 1.0 MB/s, about 59 s left"},
        {MB, 68 * MB, 1, 1, MB, 60, "  1.0 of 68.0 MB (1 %), 1.0 MB/s, about 1 min left"},
        {MB, 68 * MB, 1, 1, MB, 61, "  1.0 of 68.0 MB (1 %), 1.0 MB/s, about 2 min left"},
        {MB, 68 * MB, 1, 1, MB, 0, "  1.0 of 68.0 MB (1 %), 1.0 MB/s, about 0 s left"},
        {3 * MB, 0, 0, 1, 3 * MB, -1, "  3.0 MB, 3.0 MB/s"},
    };
    for (const Row &row : rows) {
        char out[96];
        format_install_progress(out, sizeof(out), row.stored, row.total, row.has_total, row.has_rate,
                                row.per_second, row.left);
        CHECK_MESSAGE(strcmp(out, row.text) == 0, row.text, " got ", out);
    }
    char small[16];
    format_install_progress(small, sizeof(small), MB, 68 * MB, 1, 1, MB, 20);
    CHECK(strcmp(small, "  1.0 of 68.0 M") == 0);
}

TEST_CASE("rate_meter")
{
    RateMeter meter;
    unsigned long long per_second = 1;
    int steady = 1;
    rate_meter_begin(&meter);
    // Nothing to tell before two samples a second apart.
    CHECK(!rate_meter_read(&meter, &per_second, &steady));
    rate_meter_add(&meter, 10000, 0);
    rate_meter_add(&meter, 10400, 400000);  // younger than a step: passed over
    CHECK(!rate_meter_read(&meter, &per_second, &steady));
    rate_meter_add(&meter, 10500, 500000);
    CHECK(!rate_meter_read(&meter, &per_second, &steady));
    rate_meter_add(&meter, 11000, 1000000);
    REQUIRE(rate_meter_read(&meter, &per_second, &steady));
    CHECK(per_second == 1000000);
    CHECK(!steady);
    // Eight samples: steady; the oldest drop out, so a change shows within
    // a few seconds.
    for (unsigned long long at = 11500; at <= 13500; at += 500)
        rate_meter_add(&meter, at, 1000000 + (at - 11000) * 1000);
    REQUIRE(rate_meter_read(&meter, &per_second, &steady));
    CHECK(steady);
    CHECK(per_second == 1000000);
    for (unsigned long long at = 14000; at <= 17500; at += 500)
        rate_meter_add(&meter, at, 3500000);
    REQUIRE(rate_meter_read(&meter, &per_second, &steady));
    CHECK(per_second == 0);
    // A count that fell (a file that started over) is no speed.
    rate_meter_add(&meter, 18000, 100);
    REQUIRE(rate_meter_read(&meter, &per_second, &steady));
    CHECK(per_second == 0);
}
