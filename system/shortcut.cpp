#include "system/shortcut.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "system/files.h"

void make_shortcut(const wchar_t *link_path, const wchar_t *target, const wchar_t *arguments,
                   const wchar_t *work_dir, const wchar_t *description)
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
    link->SetDescription(description);

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

int shortcut_starts(const wchar_t *link_path, const wchar_t *target)
{
    int ok = 0;
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    PIDLIST_ABSOLUTE items = NULL;
    WidePath found;

    if (CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                         (void **)&link) != S_OK || link == NULL) {
        link = NULL;
        goto done;
    }
    if (link->QueryInterface(IID_IPersistFile, (void **)&file) != S_OK || file == NULL) {
        file = NULL;
        goto done;
    }
    if (file->Load(link_path, STGM_READ) != S_OK)
        goto done;
    // The target from the link's item list, which holds the full UTF-16
    // names (the path the link object returns may be an ANSI copy).
    if (link->GetIDList(&items) != S_OK || items == NULL) {
        items = NULL;
        goto done;
    }
    if (!SHGetPathFromIDListW(items, found))
        goto done;
    ok = CompareStringOrdinal(found, -1, target, -1, TRUE) == CSTR_EQUAL;

done:
    if (items != NULL)
        CoTaskMemFree(items);
    if (file != NULL)
        file->Release();
    if (link != NULL)
        link->Release();
    return ok;
}
