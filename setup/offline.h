#pragma once

// The offline copy ("--layout FOLDER"): puts into FOLDER (created when
// missing) the runtime archive and every course part under the names they
// have in the downloads folder, each verified against its pin (kept when it
// already matches, copied from the setup's folder or downloaded, as for an
// install), and a copy of this setup as zept-setup.exe, which gets its name
// last, once everything beside it is there. A setup started from FOLDER
// takes its files from there. Installs nothing: no install root, shortcut
// or registry entry. Writes in FOLDER only those files, their partial files
// and zept-setup.new (the copy on its way), and deletes nothing there but
// what it wrote in this run. Refused with one line, before anything is
// created, without a folder or for one within the install root. Prints its
// own banner and messages, ends with the closing pause; returns the exit
// code.
int run_offline_copy(void);
