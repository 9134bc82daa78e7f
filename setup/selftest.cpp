#include "setup/selftest.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "fetch/sha256_file.h"
#include "pins.h"
#include "system/files.h"

struct SelftestVector {
    const char *input;
    const char *expected;
    const char *label;
};

static const SelftestVector SELFTEST_VECTORS[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "empty"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "abc"},
    {"The quick brown fox jumps over the lazy dog",
     "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592", "fox"},
};

// Writes input to the temporary file, hashes it and deletes it again.
// 1 with digest_text filled; 0 when the file could not be made or hashed.
static int hash_through_file(const char *input, char *digest_text)
{
    int ok = 0;
    WidePath temp_file;

    if (!temp_path(temp_file, L"zept-selftest.tmp") ||
        !write_whole_file(temp_file, input, (unsigned long)strlen(input)))
        return 0;
    ok = sha256_file(temp_file, digest_text);
    DeleteFileW(temp_file);
    return ok;
}

int run_selftest(void)
{
    int failures = 0;
    char digest_text[DIGEST_TEXT_BYTES];

    for (size_t i = 0; i < sizeof(SELFTEST_VECTORS) / sizeof(SELFTEST_VECTORS[0]); i++) {
        const SelftestVector *v = &SELFTEST_VECTORS[i];
        if (!hash_through_file(v->input, digest_text)) {
            printf("FAIL sha256(%s): could not hash\n", v->label);
            failures++;
        } else if (strcmp(digest_text, v->expected) != 0) {
            printf("FAIL sha256(%s): got %s\n", v->label, digest_text);
            failures++;
        } else {
            printf("PASS sha256(%s)\n", v->label);
        }
    }
    printf("pin python-embed sha256: %s\n", PYTHON_SHA256);
    printf("pin payload zip sha256: %s\n", PAYLOAD_SHA256);
    printf("payload parts: %d\n", PART_COUNT);
    if (failures != 0)
        printf("SELFTEST FAILED (%d)\n", failures);
    else
        printf("SELFTEST PASSED\n");
    return failures != 0 ? 1 : 0;
}
