// mkdirs, file_exists, compose_path and making files final against the real
// file system.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include <string>
#include <windows.h>

#include "system/extract.h"
#include "system/files.h"
#include "unit_support.h"

TEST_CASE("mkdirs creates every missing folder")
{
    std::wstring base = fresh_temp_dir(L"mkdirs");
    struct Row {
        const wchar_t *given;   // appended to base
        const wchar_t *exists;  // appended to base: must be a folder afterwards
    };
    const Row rows[] = {
        {L"\\one", L"\\one"},
        {L"\\mixed\\a/b\\c", L"\\mixed\\a\\b\\c"},
        {L"\\trailing\\a\\b\\", L"\\trailing\\a\\b"},
        {L"\\doubled\\a\\\\b", L"\\doubled\\a\\b"},
        {L"\\one\\again", L"\\one\\again"},  // under a folder that exists
    };
    for (const Row &row : rows) {
        std::wstring given = base + row.given;
        CAPTURE(std::string(given.begin(), given.end()));
        mkdirs(given.c_str());
        CHECK(is_dir(base + row.exists));
    }
    // The caller's string is never changed.
    std::wstring given = base + L"\\kept\\a";
    std::wstring before = given;
    mkdirs(given.c_str());
    CHECK(given == before);
}

TEST_CASE("mkdirs with relative and short paths")
{
    std::wstring base = fresh_temp_dir(L"relative");
    REQUIRE(SetCurrentDirectoryW(base.c_str()));
    // The second character is no cut point: "r" is never created, so
    // neither is anything below it.
    mkdirs(L"r\\s\\t");
    CHECK_FALSE(is_dir(base + L"\\r"));
    CHECK_FALSE(is_dir(base + L"\\r\\s"));
    // From the third character on, the scan creates relative folders too.
    mkdirs(L"rel\\s\\t");
    CHECK(is_dir(base + L"\\rel\\s\\t"));
    // Two characters or fewer: only the final attempt on the whole path.
    mkdirs(L"ab");
    CHECK(is_dir(base + L"\\ab"));
    // An empty path creates nothing and leaves the current folder as it is.
    std::wstring empty = fresh_temp_dir(L"empty");
    REQUIRE(SetCurrentDirectoryW(empty.c_str()));
    mkdirs(L"");
    wchar_t current[MAX_PATH];
    REQUIRE(GetCurrentDirectoryW(MAX_PATH, current) > 0);
    CHECK(std::wstring(current) == empty);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((empty + L"\\*").c_str(), &found);
    REQUIRE(search != INVALID_HANDLE_VALUE);
    int entries = 0;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            entries++;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    CHECK(entries == 0);
}

TEST_CASE("mkdirs takes paths of 4095 characters and ignores 4096")
{
    std::wstring base = fresh_temp_dir(L"long");
    // "\." components keep the real folder shallow while the text is long.
    for (size_t length : {(size_t)4095, (size_t)4096}) {
        std::wstring root = base + (length == 4095 ? L"\\taken" : L"\\ignored");
        std::wstring path = root;
        std::wstring leaf = L"\\leaf";
        while (path.size() + 2 + leaf.size() <= length)
            path += L"\\.";
        leaf.append(length - path.size() - leaf.size(), L'x');
        path += leaf;
        REQUIRE(path.size() == length);
        mkdirs(path.c_str());
        CHECK(is_dir(root) == (length == 4095));
    }
}

TEST_CASE("file_exists")
{
    std::wstring base = fresh_temp_dir(L"exists");
    std::wstring plain = base + L"\\plain.txt";
    std::wstring empty = base + L"\\empty.txt";
    std::wstring read_only = base + L"\\read-only.txt";
    std::wstring hidden = base + L"\\hidden.txt";
    REQUIRE(write_file(plain, "x"));
    REQUIRE(write_file(empty, ""));
    REQUIRE(write_file(read_only, "x"));
    REQUIRE(write_file(hidden, "x"));
    REQUIRE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    REQUIRE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));

    struct Row {
        std::wstring path;
        int expected;
    };
    const Row rows[] = {
        {plain, 1}, {empty, 1}, {read_only, 1}, {hidden, 1},
        {base, 0}, {base + L"\\missing.txt", 0}, {L"", 0}, {base + L"\\plain.txt\\below", 0},
    };
    for (const Row &row : rows) {
        CAPTURE(std::string(row.path.begin(), row.path.end()));
        CHECK(file_exists(row.path.c_str()) == row.expected);
    }
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_CASE("compose_path never yields a truncated or unterminated path")
{
    wchar_t out[8];
    CHECK(compose_path(out, 8, L"%ls\\%ls", L"ab", L"cdef") == 1);  // 7 characters fit
    CHECK(std::wstring(out) == L"ab\\cdef");
    wmemset(out, L'z', 8);
    CHECK(compose_path(out, 8, L"%ls\\%ls", L"ab", L"cdefg") == 0);  // 8: no room for the terminator
    CHECK(out[0] == 0);
    wmemset(out, L'z', 8);
    CHECK(compose_path(out, 8, L"%ls\\%ls", L"abcd", L"efghij") == 0);
    CHECK(out[0] == 0);
}

TEST_CASE("write_whole_file writes every byte or leaves no file of its own")
{
    std::wstring base = fresh_temp_dir(L"whole");
    std::wstring file = base + L"\\marker.txt";
    std::wstring folder = base + L"\\a folder";
    unsigned long got = 0;
    char back[32];
    REQUIRE(CreateDirectoryW(folder.c_str(), NULL));

    CHECK(write_whole_file(file.c_str(), "first, longer text", 18) == 1);
    CHECK(write_whole_file(file.c_str(), "second", 6) == 1);  // replaces it whole
    REQUIRE(read_file_start(file.c_str(), back, sizeof(back), &got) == 1);
    CHECK(std::string(back, got) == "second");
    // A folder of that name: nothing can be written, and the folder stays.
    CHECK(write_whole_file(folder.c_str(), "x", 1) == 0);
    CHECK(is_dir(folder));
}

TEST_CASE("make_final: the finished file under its name, or nothing changed")
{
    std::wstring base = fresh_temp_dir(L"final");
    std::wstring temp = base + L"\\part.partial";
    std::wstring target = base + L"\\part";
    std::wstring locked = base + L"\\locked.partial";
    unsigned long got = 0;
    char back[32];

    REQUIRE(write_file(target, "earlier"));
    REQUIRE(write_file(temp, "verified"));
    CHECK(make_final(temp.c_str(), target.c_str()) == 1);
    REQUIRE(read_file_start(target.c_str(), back, sizeof(back), &got) == 1);
    CHECK(std::string(back, got) == "verified");
    CHECK(!file_exists(temp.c_str()));
    // No temp: the target stays as it is.
    CHECK(make_final(temp.c_str(), target.c_str()) == 0);
    REQUIRE(read_file_start(target.c_str(), back, sizeof(back), &got) == 1);
    CHECK(std::string(back, got) == "verified");
    // A read-only file is flushed and keeps its attribute.
    REQUIRE(write_file(locked, "read-only"));
    REQUIRE(SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY));
    CHECK(flush_file(locked.c_str()) == 1);
    CHECK((GetFileAttributesW(locked.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
    CHECK(flush_file((base + L"\\missing").c_str()) == 0);
}

TEST_CASE("path_within: the folder itself and what lies below it")
{
    struct Row {
        const wchar_t *path;
        const wchar_t *folder;
        int expected;
    };
    const Row rows[] = {
        {L"C:\\Users\\a\\Programs\\ZEPT", L"C:\\Users\\a\\Programs\\ZEPT", 1},
        {L"C:\\Users\\a\\Programs\\ZEPT\\", L"C:\\Users\\a\\Programs\\ZEPT", 1},
        {L"c:\\users\\A\\programs\\zept\\downloads\\copy", L"C:\\Users\\a\\Programs\\ZEPT", 1},
        {L"C:\\Users\\a\\Programs\\ZEPT2", L"C:\\Users\\a\\Programs\\ZEPT", 0},
        {L"C:\\Users\\a\\Programs", L"C:\\Users\\a\\Programs\\ZEPT", 0},
        {L"D:\\Users\\a\\Programs\\ZEPT", L"C:\\Users\\a\\Programs\\ZEPT", 0},
        {L"C:\\Tarnwick", L"C:\\", 1},
        {L"C:", L"C:\\", 1},
        {L"\\\\school\\share\\Tarnwick", L"\\\\school\\share", 1},
        {L"\\\\school\\shared", L"\\\\school\\share", 0},
    };
    for (const Row &row : rows) {
        std::wstring path = row.path;
        CAPTURE(std::string(path.begin(), path.end()));
        CHECK(path_within(row.path, row.folder) == row.expected);
    }
}

TEST_CASE("tar_command: the paths as they are, or relative where the ANSI code page would change them")
{
    // The prefixes' ANSI code page is 1252: L with stroke and CJK are not in it.
    REQUIRE(GetACP() == 1252);
    struct Row {
        const wchar_t *archive, *dest;
        int ok;
        const wchar_t *command, *work_dir;
    } rows[] = {
        {L"C:\\Users\\ana\\d\\python-embed.zip", L"C:\\Users\\ana\\python-new", 1,
         L"tar.exe -xf \"C:\\Users\\ana\\d\\python-embed.zip\" -C \"C:\\Users\\ana\\python-new\"", L""},
        {L"C:\\Users\\Jos\u00e9\\d\\a.zip", L"C:\\Users\\Jos\u00e9\\app-new", 1,  // in the code page
         L"tar.exe -xf \"C:\\Users\\Jos\u00e9\\d\\a.zip\" -C \"C:\\Users\\Jos\u00e9\\app-new\"", L""},
        {L"C:\\Users\\\u0141ukasz\\ZEPT\\downloads\\a.zip", L"C:\\Users\\\u0141ukasz\\ZEPT\\app-new", 1,
         L"tar.exe -xf \"downloads\\a.zip\" -C \"app-new\"", L"C:\\Users\\\u0141ukasz\\ZEPT"},
        {L"C:\\\u65e5\\a.zip", L"C:\\\u65e5", 1, L"tar.exe -xf \"a.zip\" -C \".\"", L"C:\\\u65e5"},
        {L"C:\\\u65e5\\a.zip", L"C:\\other", 0, L"", L""},              // relative to C:\\, still not
        {L"C:\\\u65e5\\a.zip", L"D:\\x", 0, L"", L""},                // no folder holds both
        {L"C:\\\u65e5\\a.zip", L"C:\\\u0141\\x", 0, L"", L""},        // relative, still not in the code page
    };
    for (const Row &row : rows) {
        wchar_t command[8192];
        WidePath work_dir;
        CAPTURE(row.archive);
        CHECK(tar_command(command, 8192, row.archive, row.dest, work_dir) == row.ok);
        CHECK(std::wstring(command) == row.command);
        CHECK(std::wstring(work_dir) == row.work_dir);
    }
}
