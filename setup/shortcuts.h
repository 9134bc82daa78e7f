#pragma once

#include "setup/layout.h"

// The installation's two shortcuts: SHORTCUT_FILE on the desktop and in the
// Start menu's Programs folder. Each routine initialises COM for itself,
// and prints nothing.

// Writes both (replacing what is there): pythonw.exe of the installation
// with the argument text arguments, in AppDir. A shortcut that cannot be
// written is left out.
void make_our_shortcuts(const InstallLayout *layout, const wchar_t *arguments);

// How many of the two exist and start this installation's pythonw.exe.
int count_our_shortcuts(const InstallLayout *layout);

// Deletes those of the two that start this installation's pythonw.exe; one
// that the learner pointed elsewhere is theirs and stays.
void remove_our_shortcuts(const InstallLayout *layout);
