// Starts a program with environment variables set or removed from the
// Windows side (Wine replaces LOCALAPPDATA, TEMP and TMP from the prefix, so
// they cannot be set from Linux), waits for it and exits with its code.
// A Linux parent sees only the code's low 8 bits: with --code, the whole
// code is also written to FILE as decimal text.
//   env-run.exe [--set NAME=VALUE | --unset NAME | --code FILE]... -- COMMAND LINE
// Everything after the first " -- " is the child's command line, verbatim.
// Standard handles are inherited.
#include <stdio.h>
#include <windows.h>
#include <shellapi.h>

int main(void)
{
    const wchar_t *code_file = NULL;
    int argc = 0;
    wchar_t *raw = GetCommandLineW();
    wchar_t **args = CommandLineToArgvW(raw, &argc);
    wchar_t *rest = wcsstr(raw, L" -- ");
    if (args == NULL || rest == NULL)
        return 120;
    rest += 4;

    for (int i = 1; i + 1 < argc && wcscmp(args[i], L"--") != 0; i += 2) {
        if (wcscmp(args[i], L"--code") == 0) {
            code_file = args[i + 1];
        } else if (wcscmp(args[i], L"--unset") == 0) {
            SetEnvironmentVariableW(args[i + 1], NULL);
        } else if (wcscmp(args[i], L"--set") == 0) {
            wchar_t *eq = wcschr(args[i + 1], L'=');
            if (eq == NULL)
                return 120;
            *eq = 0;
            SetEnvironmentVariableW(args[i + 1], eq + 1);
        } else {
            return 120;
        }
    }

    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (!CreateProcessW(NULL, rest, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return 121;
    DWORD code = 122;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code_file != NULL) {
        char text[16];
        DWORD put = 0;
        int length = snprintf(text, sizeof(text), "%lu", code);
        HANDLE file = CreateFileW(code_file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, text, (DWORD)length, &put, NULL);
            CloseHandle(file);
        }
    }
    return (int)code;
}
