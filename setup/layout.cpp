#include "setup/layout.h"

#include <string.h>
#include <windows.h>

#include "pins.h"

enum { VERSION_NUMBERS = 4, MARKER_READ_BYTES = 64, LOCAL_APP_DATA_CHARS = 260 };

const char MARKER_LINE[] = "Tarnwick " COURSE_VERSION " installed.\r\n";

int join_path(wchar_t *out, const wchar_t *parent, const wchar_t *child)
{
    return compose_path(out, WIDE_PATH_CHARS, L"%ls\\%ls", parent, child);
}

int compose_layout(InstallLayout *layout, const wchar_t *local_app_data)
{
    if (!join_path(layout->InstallRoot, local_app_data, L"Programs\\ZEPT") ||
        !join_path(layout->PythonDir, layout->InstallRoot, L"python") ||
        !join_path(layout->AppDir, layout->InstallRoot, L"app") ||
        !join_path(layout->DownloadsDir, layout->InstallRoot, L"downloads") ||
        !join_path(layout->MarkerFile, layout->InstallRoot, L"install-complete.txt") ||
        !join_path(layout->PythonwExe, layout->PythonDir, L"pythonw.exe") ||
        !join_path(layout->LauncherScript, layout->AppDir, L"ZEPT-Launcher.pyw") ||
        !join_path(layout->PythonNew, layout->InstallRoot, L"python-new") ||
        !join_path(layout->AppNew, layout->InstallRoot, L"app-new") ||
        !join_path(layout->NewPythonwExe, layout->PythonNew, L"pythonw.exe") ||
        !join_path(layout->NewLauncher, layout->AppNew, L"ZEPT-Launcher.pyw") ||
        !join_path(layout->Discarded, layout->InstallRoot, L"discarded") ||
        !join_path(layout->SetupCopy, layout->InstallRoot, L"zept-setup.exe") ||
        !join_path(layout->SetupCopyNew, layout->InstallRoot, L"zept-setup.new"))
        return 0;
    layout->RuntimeArchive[0] = 0;
    layout->PayloadArchive[0] = 0;
    layout->PartFile[0] = 0;
    return 1;
}

int find_layout(InstallLayout *layout)
{
    wchar_t local_app_data[LOCAL_APP_DATA_CHARS];
    // A value that does not fit is reported by its needed size and leaves
    // the buffer unfilled: treated like a missing one.
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local_app_data, LOCAL_APP_DATA_CHARS);
    return n != 0 && n < LOCAL_APP_DATA_CHARS && compose_layout(layout, local_app_data);
}

// Reads one to four dot-separated numbers from text (length bytes, all of
// them), missing ones as 0. 0 for anything else.
static int parse_version(const char *text, size_t length, unsigned long numbers[VERSION_NUMBERS])
{
    int count = 0;
    size_t i = 0;
    for (int k = 0; k < VERSION_NUMBERS; k++)
        numbers[k] = 0;
    while (i < length) {
        size_t digits = 0;
        if (count == VERSION_NUMBERS)
            return 0;
        for (; i < length && text[i] >= '0' && text[i] <= '9'; i++, digits++) {
            if (digits == 9)
                return 0;
            numbers[count] = numbers[count] * 10 + (unsigned long)(text[i] - '0');
        }
        if (digits == 0)
            return 0;
        count++;
        if (i < length && (text[i] != '.' || ++i == length))
            return 0;
    }
    return count > 0;
}

// 1 when the marker's bytes are a marker line whose version is this
// build's or newer.
static int marker_vouches(const char *marker, size_t length)
{
    static const char HEAD[] = "Tarnwick ";
    static const char TAIL[] = " installed.\r\n";
    const size_t head = sizeof(HEAD) - 1;
    const size_t tail = sizeof(TAIL) - 1;
    unsigned long found[VERSION_NUMBERS];
    unsigned long ours[VERSION_NUMBERS];

    if (length <= head + tail || memcmp(marker, HEAD, head) != 0 ||
        memcmp(marker + length - tail, TAIL, tail) != 0)
        return 0;
    if (!parse_version(marker + head, length - head - tail, found) ||
        !parse_version(COURSE_VERSION, strlen(COURSE_VERSION), ours))
        return 0;
    for (int k = 0; k < VERSION_NUMBERS; k++) {
        if (found[k] != ours[k])
            return found[k] > ours[k];
    }
    return 1;
}

int installation_complete(const InstallLayout *layout)
{
    char marker[MARKER_READ_BYTES];
    DWORD length = 0;
    if (!read_file_start(layout->MarkerFile, marker, sizeof(marker), &length))
        return 0;
    return marker_vouches(marker, length) && file_exists(layout->PythonwExe) &&
           file_exists(layout->LauncherScript);
}

int marker_is_ours(const InstallLayout *layout)
{
    char marker[MARKER_READ_BYTES];
    DWORD length = 0;
    return read_file_start(layout->MarkerFile, marker, sizeof(marker), &length) &&
           length == strlen(MARKER_LINE) && memcmp(marker, MARKER_LINE, length) == 0;
}
