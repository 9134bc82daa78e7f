// Reads a shortcut back through the shell's own link object and prints its
// properties as UTF-8 lines: target=, arguments=, workdir=, description=.
// Exit code 1 when the file cannot be loaded; the failing step and its
// HRESULT go to standard error.
#include <stdio.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

static void put(const char *name, const wchar_t *value)
{
    char text[8192];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof(text), NULL, NULL);
    printf("%s=%s\n", name, text);
}

int wmain(int argc, wchar_t **argv)
{
    static wchar_t value[4096];
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    PIDLIST_ABSOLUTE items = NULL;
    HRESULT hr;
    int code = 1;
    if (argc != 2)
        return 2;
    CoInitialize(NULL);
    hr = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link);
    if (hr != S_OK) {
        fprintf(stderr, "CoCreateInstance: 0x%08lx\n", (unsigned long)hr);
        link = NULL;
        goto done;
    }
    hr = link->QueryInterface(IID_IPersistFile, (void **)&file);
    if (hr != S_OK) {
        fprintf(stderr, "QueryInterface: 0x%08lx\n", (unsigned long)hr);
        file = NULL;
        goto done;
    }
    hr = file->Load(argv[1], STGM_READ);
    if (hr != S_OK) {
        fprintf(stderr, "Load: 0x%08lx\n", (unsigned long)hr);
        goto done;
    }
    // The target as the shell resolves it, from the item list: Wine keeps
    // only an ANSI copy of the path in the link's location block, which
    // GetPath returns, so a name outside the ANSI code page comes back
    // mangled there although the link itself is right.
    hr = link->GetIDList(&items);
    if (hr != S_OK) {
        fprintf(stderr, "GetIDList: 0x%08lx\n", (unsigned long)hr);
        items = NULL;
        goto done;
    }
    if (!SHGetPathFromIDListW(items, value)) {
        fprintf(stderr, "SHGetPathFromIDListW: no file system path\n");
        goto done;
    }
    put("target", value);
    value[0] = 0;
    link->GetArguments(value, 4096);
    put("arguments", value);
    value[0] = 0;
    link->GetWorkingDirectory(value, 4096);
    put("workdir", value);
    value[0] = 0;
    link->GetDescription(value, 4096);
    put("description", value);
    code = 0;

done:
    if (items != NULL)
        CoTaskMemFree(items);
    if (file != NULL)
        file->Release();
    if (link != NULL)
        link->Release();
    CoUninitialize();
    return code;
}
