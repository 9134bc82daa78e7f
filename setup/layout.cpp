#include "setup/layout.h"

int join_path(wchar_t *out, const wchar_t *parent, const wchar_t *child)
{
    return compose_path(out, WIDE_PATH_CHARS, L"%ls\\%ls", parent, child);
}

int compose_layout(InstallLayout *layout, const wchar_t *local_app_data)
{
    if (!join_path(layout->InstallRoot, local_app_data, L"Programs\\ZEPT") ||
        !join_path(layout->PythonDir, layout->InstallRoot, L"python") ||
        !join_path(layout->AppDir, layout->InstallRoot, L"app") ||
        !join_path(layout->DownloadsDir, layout->InstallRoot, L"downloads"))
        return 0;
    mkdirs(layout->DownloadsDir);
    if (!join_path(layout->MarkerFile, layout->InstallRoot, L"install-complete.txt") ||
        !join_path(layout->PythonwExe, layout->PythonDir, L"pythonw.exe") ||
        !join_path(layout->LauncherScript, layout->AppDir, L"ZEPT-Launcher.pyw"))
        return 0;
    layout->RuntimeArchive[0] = 0;
    layout->PayloadArchive[0] = 0;
    layout->PartFile[0] = 0;
    return 1;
}

int installation_complete(const InstallLayout *layout)
{
    return file_exists(layout->MarkerFile) && file_exists(layout->PythonwExe) &&
           file_exists(layout->LauncherScript);
}
