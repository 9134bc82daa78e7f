#pragma once

#include "setup/options.h"

struct RunLog;

// The offline copy ("--layout FOLDER", options->folder): puts into FOLDER (created when
// missing) the runtime archive and every course part under the names they
// have in the downloads folder, each verified against its pin (kept when it
// already matches, copied from the setup's folder or downloaded, as for an
// install), and a copy of this setup as zept-setup.exe, which gets its name
// last, once everything beside it is there. A setup started from FOLDER
// takes its files from there. Installs nothing: no install root, shortcut
// or registry entry. Writes in FOLDER only those files, their partial files
// and zept-setup.new (the copy on its way), and deletes nothing there but
// what it wrote in this run. Refused with one line, before anything is
// created, for a folder within the install root. Prints its own banner and
// messages (also into log), ends with the closing pause unless quiet;
// returns the exit code.
int run_offline_copy(const SetupOptions *options, RunLog *log);
