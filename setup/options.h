#pragma once

#include <stddef.h>
#include <wchar.h>

// What the command line asks for. The self-test is entered before the
// options are read (its further arguments are ignored).
enum SetupMode { MODE_INSTALL, MODE_REPAIR, MODE_UNINSTALL, MODE_LAYOUT };

struct SetupOptions {
    SetupMode mode;
    int quiet;                 // --quiet or /quiet: nobody at the keyboard
    const wchar_t *folder;     // --layout FOLDER
    const wchar_t *log_file;   // --log FILE; NULL: the dated log in %TEMP%
    unsigned long after;       // --after PID: a removal's hand-over, 0: none
};

// The usage line, printed after a refused option.
#define SETUP_USAGE "Usage: zept-setup.exe [--quiet] [--log FILE] [--repair | --uninstall | --layout FOLDER]"

// Reads the arguments after the program's name (args[1] to args[count - 1]),
// in any order; each option at most once, and at most one of --repair,
// --uninstall and --layout. 1 with *options set. 0 with problem (cap bytes, UTF-8)
// holding the line that names what is wrong ("Unknown option: --quite",
// "--layout needs a folder", ...), without the usage.
int read_options(int count, wchar_t **args, SetupOptions *options, char *problem, size_t cap);

// 1 when local_app_data lies in a profile of Windows' own service accounts
// (LocalSystem, LocalService, NetworkService), below windows_dir: where an
// endpoint tool's "System" context puts a program, never a learner.
int is_service_profile(const wchar_t *local_app_data, const wchar_t *windows_dir);

// 1 when this process runs as one of those accounts (its token's user), or
// with its %LOCALAPPDATA% in one of their profiles: a per-user setup there
// would install for no learner.
int runs_as_service_account(void);
