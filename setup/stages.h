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

// The lines of a runtime archive that could not be had, and of one that
// could not be extracted.
#define RUNTIME_REFUSED "The Python download failed its checksum and was removed. Run the setup again.\n"
#define RUNTIME_FAILED "The Python download failed. Check your connection and run the setup again.\n"
#define RUNTIME_NOT_EXTRACTED "Could not extract the Python runtime (tar.exe is part of Windows 10 and 11).\n"

// Makes sure the verified runtime archive lies in folder (the downloads
// folder, or an offline copy's) as RuntimeArchive (setup/artefact.h: kept,
// copied from the setup's folder or downloaded). 1 when it does; 0 after
// printing the message.
int fetch_runtime(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, char *digest_text);

// Makes the trees (TREE_ flags) afresh: the runtime extracted into a fresh
// PythonNew, the course into a fresh AppNew, from their verified archives
// (setup/transfers.h: fetched side by side, the runtime extracted while the
// parts arrive; a course package verified by an earlier run is used again,
// and one that is being built or fails its digest never survives a
// failure). 1 when pythonw.exe and the launcher script exist there; 0
// after printing the message. The installed trees are not touched, the
// part files always stay.
int install_trees(InstallLayout *layout, int trees, DownloadSession *net, char *digest_text,
                  unsigned char *copy_buffer);

// After an extraction of archive into a folder of root failed: tar's exit
// code does not say why, the space left does. Less free than the archive's
// own size is a full disk, noted in net.
void note_full_disk(DownloadSession *net, const wchar_t *root, const wchar_t *archive);

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
