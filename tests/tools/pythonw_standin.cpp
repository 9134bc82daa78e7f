// Stand-in for the runtime's pythonw.exe (and, copied as tar.exe, for a
// planted program that must never run): records how it was started into
// "launch-record.txt" beside itself, as UTF-8 lines cmdline=, cwd=, argc=
// and arg1=, arg2=, ..., then exits with 0.
// "--stay FILE" as the first arguments: after the record, it stays running
// (its image mapped, its current folder held) until FILE is gone: a course
// the learner left open.
#include <stdio.h>
#include <windows.h>
#include <shellapi.h>

static void put(FILE *out, const char *name, const wchar_t *value)
{
    static char text[16384];
    WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof(text), NULL, NULL);
    fprintf(out, "%s=%s\n", name, text);
}

int main(void)
{
    static wchar_t path[4096];
    static wchar_t cwd[4096];
    int argc = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &argc);
    DWORD n = GetModuleFileNameW(NULL, path, 4096);
    if (n == 0 || n >= 4096 || args == NULL)
        return 1;
    wchar_t *slash = wcsrchr(path, L'\\');
    if (slash == NULL)
        return 1;
    wcscpy(slash + 1, L"launch-record.txt");
    FILE *out = _wfopen(path, L"wb");
    if (out == NULL)
        return 1;
    GetCurrentDirectoryW(4096, cwd);
    put(out, "cmdline", GetCommandLineW());
    put(out, "cwd", cwd);
    fprintf(out, "argc=%d\n", argc - 1);
    for (int i = 1; i < argc; i++) {
        char name[16];
        snprintf(name, sizeof(name), "arg%d", i);
        put(out, name, args[i]);
    }
    fclose(out);
    if (argc > 2 && wcscmp(args[1], L"--stay") == 0) {
        while (GetFileAttributesW(args[2]) != INVALID_FILE_ATTRIBUTES)
            Sleep(100);
    }
    return 0;
}
