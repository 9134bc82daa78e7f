#include "setup/layout.h"

#include <windows.h>

enum { LOCAL_APP_DATA_CHARS = 260 };

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
        !join_path(layout->SetupCopyNew, layout->InstallRoot, L"zept-setup.new") ||
        !join_path(layout->PayloadArchive, layout->DownloadsDir, L"zept-payload.zip"))
        return 0;
    layout->RuntimeArchive[0] = 0;
    layout->PartFile[0] = 0;
    layout->SetupDir[0] = 0;
    return 1;
}

int find_layout(InstallLayout *layout)
{
    wchar_t local_app_data[LOCAL_APP_DATA_CHARS];
    // A value that does not fit is reported by its needed size and leaves
    // the buffer unfilled: treated like a missing one.
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", local_app_data, LOCAL_APP_DATA_CHARS);
    if (n == 0 || n >= LOCAL_APP_DATA_CHARS || !compose_layout(layout, local_app_data))
        return 0;
    // The setup's folder: the path of its file up to the last backslash.
    wchar_t *name = program_path(layout->SetupDir) ? wcsrchr(layout->SetupDir, L'\\') : NULL;
    if (name != NULL)
        *name = 0;
    else
        layout->SetupDir[0] = 0;
    return 1;
}
