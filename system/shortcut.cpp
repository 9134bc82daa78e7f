#include "system/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

void make_shortcut(const wchar_t *link_path, const wchar_t *target, const wchar_t *arguments,
                   const wchar_t *work_dir)
{
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;

    if (CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                         (void **)&link) != S_OK || link == NULL) {
        link = NULL;
        goto done;
    }
    // A setter that fails leaves its property unset; the link is still saved.
    link->SetPath(target);
    link->SetArguments(arguments);
    link->SetWorkingDirectory(work_dir);
    link->SetDescription(L"Tarnwick - Olvenmark");

    if (link->QueryInterface(IID_IPersistFile, (void **)&file) != S_OK || file == NULL) {
        file = NULL;
        goto done;
    }
    file->Save(link_path, TRUE);

done:
    if (file != NULL)
        file->Release();
    if (link != NULL)
        link->Release();
}
