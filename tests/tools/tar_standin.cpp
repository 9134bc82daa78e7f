// Stand-in for the tar.exe of Windows, installed into the test prefix's
// system folder: runs the real bsdtar of the Linux host (the engine behind
// Windows' own tar.exe) with the same arguments, Windows paths converted to
// Unix ones, and exits with bsdtar's exit code. Wine cannot give a Windows
// program a process handle for a Unix program, so this PE stands between.
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

typedef char *(CDECL *UnixNameFn)(const wchar_t *);
typedef LONG(CDECL *SpawnFn)(char *const *argv, int wait);

static char *utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *out = (char *)malloc(size > 0 ? size : 1);
    if (out != NULL && WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL) <= 0)
        out[0] = 0;
    return out;
}

int main(void)
{
    int argc = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &argc);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    UnixNameFn unix_name = (UnixNameFn)(void *)GetProcAddress(kernel, "wine_get_unix_file_name");
    SpawnFn spawn = (SpawnFn)(void *)GetProcAddress(ntdll, "__wine_unix_spawnvp");
    if (args == NULL || unix_name == NULL || spawn == NULL)
        return 2;

    char **argv = (char **)calloc(argc + 1, sizeof(char *));
    argv[0] = (char *)"bsdtar";
    for (int i = 1; i < argc; i++) {
        int is_path = i > 1 && (wcscmp(args[i - 1], L"-xf") == 0 || wcscmp(args[i - 1], L"-f") == 0 ||
                                wcscmp(args[i - 1], L"-C") == 0);
        argv[i] = is_path ? unix_name(args[i]) : utf8(args[i]);
        if (argv[i] == NULL)
            argv[i] = (char *)"/nonexistent";
    }
    return (int)spawn(argv, 1);
}
