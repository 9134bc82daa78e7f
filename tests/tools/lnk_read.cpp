// Reads a shortcut back through the shell's own link object and prints its
// properties as UTF-8 lines: target=, arguments=, workdir=, description=.
// Exit code 1 when the file cannot be loaded.
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
    int code = 1;
    if (argc != 2)
        return 2;
    CoInitialize(NULL);
    if (CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link) == S_OK &&
        link->QueryInterface(IID_IPersistFile, (void **)&file) == S_OK && file->Load(argv[1], STGM_READ) == S_OK) {
        value[0] = 0;
        link->GetPath(value, 4096, NULL, SLGP_RAWPATH);
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
    }
    if (file != NULL)
        file->Release();
    if (link != NULL)
        link->Release();
    CoUninitialize();
    return code;
}
