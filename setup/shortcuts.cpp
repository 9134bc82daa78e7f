#include "setup/shortcuts.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "setup/product.h"
#include "system/shortcut.h"

enum { SHORTCUT_PLACES = 2 };

// The path of the shortcut in place 0 (desktop) or 1 (Start menu) into link
// (a WidePath). 0 when Windows names no such folder or the path is too long.
static int shortcut_path(int place, wchar_t *link)
{
    static const int FOLDERS[SHORTCUT_PLACES] = {CSIDL_DESKTOPDIRECTORY, CSIDL_PROGRAMS};
    WidePath folder;
    return SHGetFolderPathW(NULL, FOLDERS[place], NULL, 0, folder) == S_OK && join_path(link, folder, SHORTCUT_FILE);
}

void make_our_shortcuts(const InstallLayout *layout, const wchar_t *arguments)
{
    WidePath link;
    HRESULT com = CoInitialize(NULL);
    for (int place = 0; place < SHORTCUT_PLACES; place++) {
        if (shortcut_path(place, link))
            make_shortcut(link, layout->PythonwExe, arguments, layout->AppDir, SHORTCUT_DESCRIPTION);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}

int count_our_shortcuts(const InstallLayout *layout)
{
    WidePath link;
    int found = 0;
    HRESULT com = CoInitialize(NULL);
    for (int place = 0; place < SHORTCUT_PLACES; place++) {
        if (shortcut_path(place, link) && shortcut_starts(link, layout->PythonwExe))
            found++;
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return found;
}

void remove_our_shortcuts(const InstallLayout *layout)
{
    WidePath link;
    HRESULT com = CoInitialize(NULL);
    for (int place = 0; place < SHORTCUT_PLACES; place++) {
        if (shortcut_path(place, link) && shortcut_starts(link, layout->PythonwExe))
            DeleteFileW(link);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}
