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
