#pragma once

#include "setup/layout.h"

// The per-user entry of Settings -> Apps, below HKEY_CURRENT_USER.
#define UNINSTALL_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZEPT-Tarnwick"

// Makes the install root hold a copy of the running setup (unless it is
// that file) and writes the uninstall entry for the installed release. Its
// size is the install root's, measured when measure is set (the trees were
// made, or no entry exists); otherwise the size the entry holds stays: a
// run that only opens the course does not walk every folder of it.
// Nothing here fails the run or prints anything: without them the course is
// still installed and opens.
void register_installation(const InstallLayout *layout, int measure);
