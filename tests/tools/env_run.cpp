// Starts a program with environment variables set or removed from the
// Windows side (Wine replaces LOCALAPPDATA, TEMP and TMP from the prefix, so
// they cannot be set from Linux), waits for it and exits with its code.
//   env-run.exe [--set NAME=VALUE | --unset NAME]... -- COMMAND LINE
// Everything after the first " -- " is the child's command line, verbatim.
// Standard handles are inherited.
#include <windows.h>
#include <shellapi.h>

int main(void)
{
    int argc = 0;
    wchar_t *raw = GetCommandLineW();
    wchar_t **args = CommandLineToArgvW(raw, &argc);
    wchar_t *rest = wcsstr(raw, L" -- ");
    if (args == NULL || rest == NULL)
        return 120;
    rest += 4;

    for (int i = 1; i + 1 < argc && wcscmp(args[i], L"--") != 0; i += 2) {
        if (wcscmp(args[i], L"--unset") == 0) {
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
    return (int)code;
}
