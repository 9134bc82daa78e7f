// check_tree against ZIP directories written here and real files: sizes,
// CRC-32, the end record found behind a comment, and the directories it
// refuses to read (unsafe names, Zip64, cut short).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <string>
#include <string.h>
#include <windows.h>

#include "setup/check.h"
#include "setup/package.h"
#include "system/log.h"
#include "unit_support.h"

static void put16(std::string &out, unsigned long value)
{
    out += (char)(value & 0xFF);
    out += (char)(value >> 8 & 0xFF);
}

static void put32(std::string &out, unsigned long value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16 & 0xFFFF);
}

struct Entry {
    const char *name;
    unsigned long crc;
    unsigned long size;
};

// What the check reads of a ZIP: bytes standing for the local headers and
// data, the central directory of entries, the end record and its comment.
// cd_size given: the end record's directory size (Zip64 writes all bits).
static std::string zip(const Entry *entries, int count, const std::string &comment, unsigned long cd_size = 0)
{
    std::string data = "local headers and file data";
    std::string cd;
    for (int i = 0; i < count; i++) {
        put32(cd, 0x02014b50);
        put16(cd, 20);  // made by
        put16(cd, 20);  // needed
        put16(cd, 0);   // flags
        put16(cd, 8);   // deflated
        put32(cd, 0);   // time and date
        put32(cd, entries[i].crc);
        put32(cd, entries[i].size / 2);
        put32(cd, entries[i].size);
        put16(cd, strlen(entries[i].name));
        put16(cd, 4);  // extra field
        put16(cd, 0);
        put16(cd, 0);
        put16(cd, 0);
        put32(cd, 0);
        put32(cd, 0);
        cd += entries[i].name;
        cd += "XXXX";
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, count);
    put16(end, count);
    put32(end, cd_size ? cd_size : cd.size());
    put32(end, data.size());
    put16(end, comment.size());
    return data + cd + end + comment;
}

static TreeState check(const std::wstring &base, const std::string &archive, int content)
{
    static unsigned char buffer[COPY_BUFFER_BYTES];
    RunLog log;
    std::wstring path = base + L"\\archive.zip";
    log_none(&log);
    REQUIRE(write_file(path, archive));
    return check_tree(path.c_str(), (base + L"\\tree").c_str(), content, &log, buffer);
}

TEST_CASE("sizes on every run, content with --repair, and nothing the directory does not name")
{
    std::wstring base = fresh_temp_dir(L"check");
    const Entry entries[] = {{"a.txt", 0x3610A686, 5}, {"sub/", 0, 0}, {"sub/b.txt", 0, 0}};
    std::string archive = zip(entries, 3, "");
    CreateDirectoryW((base + L"\\tree").c_str(), NULL);
    CreateDirectoryW((base + L"\\tree\\sub").c_str(), NULL);
    REQUIRE(write_file(base + L"\\tree\\a.txt", "hello"));
    REQUIRE(write_file(base + L"\\tree\\sub\\b.txt", ""));
    REQUIRE(write_file(base + L"\\tree\\notes.txt", "not the course's"));
    CHECK(check(base, archive, 0) == TREE_INTACT);
    CHECK(check(base, archive, 1) == TREE_INTACT);
    // Behind a comment, the end record is still found.
    CHECK(check(base, zip(entries, 3, "Tarnwick 0.1.0"), 1) == TREE_INTACT);

    REQUIRE(write_file(base + L"\\tree\\a.txt", "jello"));  // same size
    CHECK(check(base, archive, 0) == TREE_INTACT);
    CHECK(check(base, archive, 1) == TREE_DAMAGED);
    REQUIRE(write_file(base + L"\\tree\\a.txt", "hell"));
    CHECK(check(base, archive, 0) == TREE_DAMAGED);
    REQUIRE(write_file(base + L"\\tree\\a.txt", "hello"));
    REQUIRE(DeleteFileW((base + L"\\tree\\sub\\b.txt").c_str()));
    CHECK(check(base, archive, 0) == TREE_DAMAGED);
    // A folder where a file belongs.
    REQUIRE(CreateDirectoryW((base + L"\\tree\\sub\\b.txt").c_str(), NULL));
    CHECK(check(base, archive, 0) == TREE_DAMAGED);
}

TEST_CASE("a directory that cannot be trusted to name files below the tree is not read")
{
    std::wstring base = fresh_temp_dir(L"refused");
    CreateDirectoryW((base + L"\\tree").c_str(), NULL);
    REQUIRE(write_file(base + L"\\tree\\x", "x"));
    const char *names[] = {"../x", "a/../../x", "..", "./x", "/x", "C:/x", "a\\x", "a//x", "x/."};
    for (const char *name : names) {
        CAPTURE(name);
        const Entry entry = {name, 0x8CDC1683, 1};
        CHECK(check(base, zip(&entry, 1, ""), 0) == TREE_UNCHECKED);
    }
    const Entry good = {"x", 0x8CDC1683, 1};
    CHECK(check(base, zip(&good, 1, ""), 1) == TREE_INTACT);
    CHECK(check(base, zip(&good, 1, "", 0xFFFFFFFF), 0) == TREE_UNCHECKED);  // Zip64
    std::string archive = zip(&good, 1, "");
    CHECK(check(base, archive.substr(0, archive.size() - 1), 0) == TREE_UNCHECKED);
    CHECK(check(base, archive.substr(archive.size() - 40), 0) == TREE_UNCHECKED);
    CHECK(check(base, "", 0) == TREE_UNCHECKED);
}
