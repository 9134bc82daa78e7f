// Runs one routine of the setup program's download and system subsystems on
// the arguments of its command line, so that tests can drive it against
// real servers, files and tar:
//   zept-probe.exe sha256 PATH          prints the digest text, or FAIL
//   zept-probe.exe download URL FILE [SIZE]   (SIZE: the pinned size)
//   zept-probe.exe download URL FILE SIZE URL FILE SIZE ...   (one session)
//   zept-probe.exe extract ARCHIVE DIR
//   zept-probe.exe exists PATH
//   zept-probe.exe mkdirs PATH
//   zept-probe.exe shortcut LINK TARGET   (arguments and folder empty)
// "--log LOG" after the verb writes the routine's log there.
// Prints the routine's result (1 or 0) and exits with it (sha256: 1 or 0).
#include <stdio.h>
#include <windows.h>
#include <shellapi.h>

#include "fetch/download.h"
#include "fetch/sha256_file.h"
#include "system/extract.h"
#include "system/files.h"
#include "system/log.h"
#include "system/shortcut.h"

int main(void)
{
    int argc = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &argc);
    int result = -1;
    RunLog log;
    log_none(&log);
    if (args == NULL || argc < 3)
        return 2;
    const wchar_t *verb = args[1];
    // "--log LOG" after the verb: the routine's notes go there.
    if (argc > 4 && wcscmp(args[2], L"--log") == 0) {
        if (!log_open(&log, args[3], 0))
            return 2;
        args[3] = args[1];
        args += 2;
        argc -= 2;
    }
    if (wcscmp(verb, L"sha256") == 0) {
        char digest[DIGEST_TEXT_BYTES + 1] = "";
        result = sha256_file(args[2], digest);
        printf("%s\n", result ? digest : "FAIL");
        return result;
    }
    if (wcscmp(verb, L"download") == 0) {
        // URL FILE [SIZE], or several URL FILE SIZE in one session.
        int rest = argc - 2;
        if (rest != 2 && (rest < 3 || rest % 3 != 0))
            return 2;
        DownloadSession net;
        begin_download_session(&net, L"zept-probe/1", &log);
        for (int i = 2; i + 1 < argc; i += 3) {
            result = download(&net, args[i], args[i + 1], i + 2 < argc ? _wcstoui64(args[i + 2], NULL, 10) : 0, NULL);
            if (i + 3 < argc)
                printf("%d\n", result);
        }
        end_download_session(&net);
    } else if (wcscmp(verb, L"extract") == 0 && argc == 4)
        result = extract_tar(args[2], args[3], &log);
    else if (wcscmp(verb, L"exists") == 0)
        result = file_exists(args[2]);
    else if (wcscmp(verb, L"shortcut") == 0 && argc == 4) {
        CoInitialize(NULL);
        make_shortcut(args[2], args[3], L"", L"", L"");
        CoUninitialize();
        result = 1;
    } else if (wcscmp(verb, L"mkdirs") == 0) {
        mkdirs(args[2]);
        result = 1;
    }
    log_close(&log);
    if (result < 0)
        return 2;
    printf("%d\n", result);
    fflush(stdout);
    return result;
}
