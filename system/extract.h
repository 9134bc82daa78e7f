#pragma once

#include <wchar.h>

// Unpacks archive (a ZIP) into dest_dir, which is created first with every
// missing parent, by running the tar.exe of the Windows system folder on the
// same console and waiting for it without a time limit.
// 1 exactly when tar ran and exited with 0; 0 when it could not be started
// (no tar.exe in the system folder, a command line too long) or exited with
// anything else. Prints nothing itself; tar's diagnostics reach the console.
// Neither path may end in a backslash.
int extract_tar(const wchar_t *archive, const wchar_t *dest_dir);
