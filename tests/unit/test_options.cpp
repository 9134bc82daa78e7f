// Where a per-user setup refuses to install: the service accounts'
// profiles, as Windows names them (the token check needs such an account).
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest.h>

#include "setup/options.h"

TEST_CASE("is_service_profile")
{
    struct Row {
        const wchar_t *local_app_data;
        int refused;
    } rows[] = {
        {L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local", 1},   // LocalSystem
        {L"c:\\windows\\system32\\CONFIG\\SystemProfile\\AppData\\Local", 1},   // as typed
        {L"C:\\Windows\\SysWOW64\\config\\systemprofile\\AppData\\Local", 1},   // a 32-bit host's view
        {L"C:\\Windows\\ServiceProfiles\\LocalService\\AppData\\Local", 1},
        {L"C:\\Windows\\ServiceProfiles\\NetworkService\\AppData\\Local", 1},
        {L"C:\\Windows\\System32\\config\\systemprofile", 1},
        {L"C:\\Users\\ana\\AppData\\Local", 0},
        {L"C:\\Users\\systemprofile\\AppData\\Local", 0},                      // a learner's name
        {L"D:\\Windows\\System32\\config\\systemprofile\\AppData\\Local", 0},   // another Windows folder
        {L"C:\\Windows\\System32\\config\\systemprofiles\\AppData\\Local", 0},
        {L"C:\\Windows\\ServiceProfilesOld\\AppData\\Local", 0},
    };
    for (const Row &row : rows) {
        CAPTURE(row.local_app_data);
        CHECK(is_service_profile(row.local_app_data, L"C:\\Windows") == row.refused);
    }
    CHECK(is_service_profile(L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Local", L"C:\\WINDOWS\\") ==
          1);
}
