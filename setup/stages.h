#pragma once

#include "setup/layout.h"

// The stages of a setup run, in the order main runs them. Each prints its
// own progress lines and, on failure, the one message that tells the user
// what to do; the caller adds the closing pause.
// digest_text is the run's digest buffer (DIGEST_TEXT_BYTES) and
// copy_buffer the run's COPY_BUFFER_BYTES buffer for joining course parts.

enum { COPY_BUFFER_BYTES = 65536 };

// Deletes what an interrupted run left beside the installation (fresh
// folders never swapped in, replaced folders not yet deleted), as far as
// Windows allows. Touches nothing of the installation itself.
void clear_leftovers(const InstallLayout *layout);

// Makes sure a verified runtime archive lies in the downloads folder
// (downloading it unless one is there) and extracts it into a fresh
// PythonNew. 1 when pythonw.exe exists there afterwards. A download that
// fails its digest is deleted. The installed runtime is not touched.
int runtime_stage(InstallLayout *layout, char *digest_text);

// Makes sure a verified course package lies in the downloads folder
// (building it from the verified parts unless one is there) and extracts it
// into a fresh AppNew. 1 when the launcher script exists there afterwards.
// A package that is being built or fails its digest never survives a
// failure; the part files always stay. The installed course is not touched.
int course_stage(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer);

// Swaps PythonNew and AppNew in for PythonDir and AppDir (each old folder
// renamed aside, the new one renamed in, the old ones deleted) and writes
// this release's marker. 1 when both are in place. When a rename is refused
// (a file in use), every rename made is undone, so the previous
// installation stays as it was, with its marker, and the message is printed.
int put_in_place(const InstallLayout *layout);

// Writes the desktop and Start-menu shortcuts, starts the course and prints
// the closing text. Nothing here fails the run.
void finish_setup(const InstallLayout *layout);
