#pragma once

#include "setup/layout.h"

// The per-user entry of Settings -> Apps, below HKEY_CURRENT_USER.
#define UNINSTALL_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZEPT-Tarnwick"

// Makes the install root hold a copy of the running setup (unless it is
// that file) and writes the uninstall entry for the installed release.
// Nothing here fails the run or prints anything: without them the course is
// still installed and opens.
void register_installation(const InstallLayout *layout);
