// sha256_file on files of chosen sizes and contents, and what it leaves in
// the caller's buffer on success and on failure.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <string.h>
#include <string>
#include <windows.h>

#include "fetch/sha256_file.h"
#include "unit_support.h"

static std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i++)
        data[i] = (char)(i % 251);
    return data;
}

TEST_CASE("digest of files of chosen sizes")
{
    struct Row {
        const char *name;
        std::string content;
        const char *expected;
    };
    const Row rows[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"fox", "The quick brown fox jumps over the lazy dog",
         "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592"},
        {"one full read", pattern(65536), "4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2"},
        {"full read and one byte", pattern(65537), "237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d"},
        {"million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    std::wstring dir = fresh_temp_dir(L"sha256");
    for (const Row &row : rows) {
        CAPTURE(row.name);
        std::wstring path = dir + L"\\input.bin";
        REQUIRE(write_file(path, row.content));
        char text[80];
        memset(text, 'x', sizeof(text));
        REQUIRE(sha256_file(path.c_str(), text) == 1);
        CHECK(std::string(text) == row.expected);
        CHECK(text[64] == 0);
        // Nothing beyond the terminator is written.
        for (size_t i = 65; i < sizeof(text); i++)
            CHECK(text[i] == 'x');
    }
}

TEST_CASE("failures leave the buffer untouched")
{
    std::wstring dir = fresh_temp_dir(L"sha256-fail");
    std::wstring missing = dir + L"\\missing.bin";
    std::wstring locked = dir + L"\\locked.bin";
    REQUIRE(write_file(locked, "abc"));
    // Held open for writing elsewhere: read sharing is not enough to open it.
    HANDLE writer = CreateFileW(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    REQUIRE(writer != INVALID_HANDLE_VALUE);

    const std::wstring paths[] = {missing, dir, locked};
    for (const std::wstring &path : paths) {
        char text[80];
        memset(text, 'x', sizeof(text));
        CHECK(sha256_file(path.c_str(), text) == 0);
        for (size_t i = 0; i < sizeof(text); i++)
            CHECK(text[i] == 'x');
    }
    CloseHandle(writer);
}
