#pragma once

#include "setup/layout.h"

struct RunLog;

// The installed release and its marker: the fresh folders swapped in for
// the installed ones, the marker written last and read by later runs, and what an
// interrupted run left beside the installation cleared away.

// What a run says when files in use kept it from changing anything.
#define LEFT_AS_IT_WAS \
    "Tarnwick was left as it was because some of its files are in use; restart your PC and run the setup again.\n"

// The marker's line for this build's course version.
extern const char MARKER_LINE[];

// 1 when pythonw.exe and the launcher script exist and the marker holds the
// line of this build's course version or of a newer one. Anything else (an
// older version, an empty or torn marker, another text) is incomplete.
int installation_complete(const InstallLayout *layout);

// 1 when the marker holds exactly this build's line: the installed release
// is the one this setup installs.
int marker_is_ours(const InstallLayout *layout);

// Moves folder into the Discarded folder, then deletes everything there as
// far as Windows allows. 1 when folder no longer exists under its name;
// what Windows keeps in use stays in Discarded for a later run.
int discard_folder(const InstallLayout *layout, const wchar_t *folder);

// Discards what an interrupted run left beside the installation: fresh
// folders never swapped in, replaced folders not yet deleted. Touches
// nothing of the installation itself. 1 when PythonNew and AppNew are
// gone; 0 when one of them could not be moved aside (a scanner or a tar
// left running holds it), noted in log with Windows' error: a run must
// then make nothing new, since that folder's name is taken.
int clear_leftovers(const InstallLayout *layout, RunLog *log);

// Flushes every file of the fresh folders of trees (TREE_ flags of
// setup/layout.h: PythonNew, AppNew; the ones this run extracted and
// checked) to disk, then swaps them in for PythonDir and AppDir (a repair
// may make only one of them: the other tree stays as it is, whatever lies
// beside it; each old folder renamed aside into Discarded, the new one
// renamed in, the old ones deleted), then writes this release's marker. 1
// when both are in place and the marker vouches for them. From the first rename until the marker is
// written no marker exists, so a run killed in between leaves an
// installation that the next run completes.
// 0 after printing the message (also into log), with *exit_code set to the
// run's exit code, in four cases:
// - a file of the new folders cannot be flushed: nothing is changed
//   (ERROR_DISK_FULL for a full disk; ERROR_FAIL_REBOOT_REQUIRED, with the
//   message of files in use, when another program holds it; else 1);
// - a rename is refused (a file in use): every rename made is undone in
//   reverse order and the previous marker written again, so the previous
//   installation is exactly as it was (ERROR_FAIL_REBOOT_REQUIRED: what
//   holds them goes with a restart);
// - an undo is refused as well: the folders stay a mix with no marker, and
//   the message says that the next run completes the installation
//   (ERROR_FAIL_REBOOT_REQUIRED);
// - the marker cannot be written: the new folders are in place with no
//   marker, and the next run completes the installation (ERROR_DISK_FULL
//   for a full disk; 1 for anything else, such as a folder of its name).
int put_in_place(const InstallLayout *layout, int trees, RunLog *log, int *exit_code);
