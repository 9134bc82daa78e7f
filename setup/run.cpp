#include "setup/run.h"

#include <stdio.h>
#include <windows.h>

#include "setup/product.h"
#include "system/console.h"
#include "system/lock.h"
#include "system/log.h"

void open_run(const SetupOptions *options, const wchar_t *title, const char *banner, RunLog *log)
{
    if (!options->quiet)
        console_title(title);
    say(log, "%s", banner);
}

int take_run_lock(HANDLE *lock, RunLog *log, int *exit_code)
{
    // Two setups on one profile would extract, swap and delete the same folders.
    if (take_setup_lock(SETUP_LOCK_NAME, lock))
        return 1;
    say(log, "The setup is already running in another window.\n");
    *exit_code = ERROR_INSTALL_ALREADY_RUNNING;
    return 0;
}

void close_run(const SetupOptions *options, HANDLE lock)
{
    release_setup_lock(lock);
    if (!options->quiet)
        pause_at_end(CLOSING_PROMPT);
}
