#pragma once

#include <wchar.h>

// Folders of an installation: moved into place, moved aside, removed, and
// the question whether a program in one is running.

// Renames the folder from to the name to (which must not exist), on the
// same volume. A refusal that may pass (an antivirus scanner holding a new
// file for a moment) is retried for about two seconds. 1 when it moved;
// 0 when it did not, with both names as they were.
int move_folder(const wchar_t *from, const wchar_t *to);

// Moves folder into trash (created when missing) under the first free
// name "1" to "99"; moved_to (a WidePath) receives the new path, or the
// empty string when there was no such folder. 1 when folder no longer
// exists under its name; 0 when it is still there.
int move_aside(const wchar_t *folder, const wchar_t *trash, wchar_t *moved_to);

// Deletes path (a folder with everything below it, or a file) as far as
// Windows allows. A junction or symbolic link is removed as a link and
// never followed: nothing outside path is ever touched. What is in use is
// left in place. 1 when path no longer exists; 0 when something of it
// remains (a later call may finish the job). Prints nothing.
int remove_tree(const wchar_t *path);

// The bytes of every file below folder (links not followed); 0 for a
// missing or empty folder.
unsigned long long tree_size(const wchar_t *folder);

// Asks Windows to write every file below folder to the disk (links not
// followed; flush_file of system/files.h). 1 when each was flushed; 0 when
// one could not be (the walk goes on with the others), GetLastError() then
// the first failure's error.
int flush_tree(const wchar_t *folder);

// 1 when the program file exe is the image of a running process: Windows
// refuses to open it for writing with a sharing violation. 0 when it is
// not running, is missing, or cannot be asked about.
int program_running(const wchar_t *exe);
