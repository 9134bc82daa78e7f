#pragma once

#include "setup/layout.h"

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;
struct RunLog;
// The stages of a setup run that installs, in the order main runs them
// (between them, put_in_place of setup/swap.h). Each prints its own progress
// lines (also into the session's log) and, on failure, the one message that
// tells the user what to do;
// the caller adds the closing pause. net is the run's download session,
// digest_text its digest buffer (DIGEST_TEXT_BYTES), copy_buffer its
// COPY_BUFFER_BYTES buffer (setup/package.h).

// Makes sure the verified runtime archive lies in folder (the downloads
// folder, or an offline copy's) as RuntimeArchive (setup/artefact.h: kept,
// copied from the setup's folder or downloaded). 1 when it does; 0 after
// printing the message.
int fetch_runtime(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, char *digest_text);

// fetch_runtime, then extracts the archive into a fresh
// PythonNew. 1 when pythonw.exe exists there afterwards. A download that
// fails its digest is deleted. The installed runtime is not touched.
int runtime_stage(InstallLayout *layout, DownloadSession *net, char *digest_text);

// Makes sure a verified course package lies in the downloads folder
// (building it from the verified parts unless one is there) and extracts it
// into a fresh AppNew. 1 when the launcher script exists there afterwards.
// A package that is being built or fails its digest never survives a
// failure; the part files always stay. The installed course is not touched.
int course_stage(InstallLayout *layout, DownloadSession *net, char *digest_text, unsigned char *copy_buffer);

// Checks the installed runtime and course against the directories of their
// verified archives in the downloads folder (setup/check.h): the runtime
// archive, and the course's last part, which holds the package's directory.
// Without content, sizes only, and an archive that is not stored (or does
// not match its pin) leaves its tree unchecked: a run that only opens the
// course never waits for the network. With content, CRC-32 as well, and
// such an archive is fetched first (fetch_runtime, fetch_part). *damage
// gets the TREE_ flags (setup/layout.h) of the trees found missing files in,
// or files of another size (or content); *unchecked those of the trees that
// could not be checked (no stored archive, a directory that cannot be
// read): neither damaged nor known to be intact. 1 when done; 0 only when,
// with content, an archive could not be had, after printing the message.
int find_damage(InstallLayout *layout, int content, DownloadSession *net, char *digest_text,
                unsigned char *copy_buffer, int *damage, int *unchecked);

// Writes the desktop and Start-menu shortcuts, starts the course (not when
// quiet: nobody is there to use it) and prints the closing text. Nothing
// here fails the run.
void finish_setup(const InstallLayout *layout, int quiet, RunLog *log);
