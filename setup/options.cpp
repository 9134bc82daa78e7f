#include "setup/options.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "system/files.h"

// The argument as UTF-8 in out (cap bytes); "?" when it does not fit.
static void to_utf8(const wchar_t *text, char *out, size_t cap)
{
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, (int)cap, NULL, NULL) <= 0)
        snprintf(out, cap, "?");
    out[cap - 1] = 0;
}

static int refuse(char *problem, size_t cap, const char *format, const wchar_t *arg)
{
    char name[256];
    to_utf8(arg, name, sizeof(name));
    snprintf(problem, cap, format, name);
    return 0;
}

int read_options(int count, wchar_t **args, SetupOptions *options, char *problem, size_t cap)
{
    int mode_given = 0;

    options->mode = MODE_INSTALL;
    options->quiet = 0;
    options->folder = NULL;
    options->log_file = NULL;
    options->after = 0;
    problem[0] = 0;
    for (int i = 1; i < count; i++) {
        const wchar_t *arg = args[i];
        // An option that takes a value takes the next argument, unless there
        // is none, it is empty, or it looks like an option itself ("--log
        // --quiet" is a forgotten name, not a log called --quiet): a file
        // really named so is given as .\-name.
        int has_value = i + 1 < count && args[i + 1][0] != 0 && args[i + 1][0] != L'-' && args[i + 1][0] != L'/';
        if (wcscmp(arg, L"--quiet") == 0 || _wcsicmp(arg, L"/quiet") == 0) {
            if (options->quiet)
                return refuse(problem, cap, "%s is given twice", arg);
            options->quiet = 1;
        } else if (wcscmp(arg, L"--repair") == 0 || wcscmp(arg, L"--uninstall") == 0 ||
                   wcscmp(arg, L"--layout") == 0) {
            if (mode_given)
                return refuse(problem, cap, "%s cannot be combined with another mode", arg);
            mode_given = 1;
            options->mode = wcscmp(arg, L"--repair") == 0      ? MODE_REPAIR
                            : wcscmp(arg, L"--uninstall") == 0 ? MODE_UNINSTALL
                                                               : MODE_LAYOUT;
            if (options->mode == MODE_LAYOUT) {
                if (!has_value)
                    return refuse(problem, cap, "%s needs a folder", arg);
                options->folder = args[++i];
            }
        } else if (wcscmp(arg, L"--log") == 0) {
            if (options->log_file != NULL)
                return refuse(problem, cap, "%s is given twice", arg);
            if (!has_value)
                return refuse(problem, cap, "%s needs a file name", arg);
            options->log_file = args[++i];
        } else if (wcscmp(arg, L"--after") == 0 && has_value && options->after == 0) {
            // Only the setup itself passes this, to the copy it hands over to.
            wchar_t *end = NULL;
            options->after = wcstoul(args[++i], &end, 10);
            if (*end != 0 || options->after == 0)
                return refuse(problem, cap, "Unknown option: --after %s", args[i]);
        } else {
            return refuse(problem, cap, "Unknown option: %s", arg);
        }
    }
    return 1;
}

int is_service_profile(const wchar_t *local_app_data, const wchar_t *windows_dir)
{
    static const wchar_t *const profiles[] = {L"System32\\config\\systemprofile", L"SysWOW64\\config\\systemprofile",
                                              L"ServiceProfiles"};
    WidePath folder;
    size_t n = wcslen(windows_dir);
    const wchar_t *separator = n > 0 && windows_dir[n - 1] == L'\\' ? L"" : L"\\";
    for (const wchar_t *profile : profiles) {
        if (compose_path(folder, WIDE_PATH_CHARS, L"%ls%ls%ls", windows_dir, separator, profile) &&
            path_within(local_app_data, folder))
            return 1;
    }
    return 0;
}

// 1 when the token of this process is a service account's.
static int token_is_service(void)
{
    int found = 0;
    HANDLE token = NULL;
    DWORD size = 0;
    union {
        TOKEN_USER user;
        unsigned char bytes[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    } info;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        goto done;
    if (!GetTokenInformation(token, TokenUser, &info, sizeof(info), &size))
        goto done;
    found = IsWellKnownSid(info.user.User.Sid, WinLocalSystemSid) ||
            IsWellKnownSid(info.user.User.Sid, WinLocalServiceSid) ||
            IsWellKnownSid(info.user.User.Sid, WinNetworkServiceSid);

done:
    if (token != NULL)
        CloseHandle(token);
    return found;
}

int runs_as_service_account(void)
{
    WidePath local_app_data;
    wchar_t windows_dir[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local_app_data, WIDE_PATH_CHARS);
    UINT w = GetWindowsDirectoryW(windows_dir, MAX_PATH);

    if (token_is_service())
        return 1;
    return n > 0 && n < WIDE_PATH_CHARS && w > 0 && w < MAX_PATH && is_service_profile(local_app_data, windows_dir);
}
