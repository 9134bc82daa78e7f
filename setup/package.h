#pragma once

#include "setup/layout.h"

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;
enum { COPY_BUFFER_BYTES = 65536 };

// The message of a course package that could not be built and verified.
#define PACKAGE_FAILED "The course package did not verify and was removed. Run the setup again.\n"

// PartFile = the path of course part n (from 1) in folder. 1 when it fits.
int part_path(InstallLayout *layout, const wchar_t *folder, int n);

// Makes sure the verified course part n (from 1; the pinned parts are
// named by content or numbered) lies in folder (the downloads folder, or an
// offline copy's) as PartFile (setup/artefact.h: kept, copied from the
// setup's folder or downloaded, resuming a partial file). 1 when it does. 0 otherwise, after printing
// "Course part N failed its checksum." when a download did not match its
// pin (then deleted); a download that did not complete prints nothing.
int fetch_part(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, int n, char *digest_text);

// Builds the course package PayloadArchive from its parts: fetch_part for
// each, so that no byte enters the package before its part matched its
// pin; appends it, and checks the whole package against its pin.
// digest_text is the run's DIGEST_TEXT_BYTES buffer, copy_buffer its
// COPY_BUFFER_BYTES buffer.
// 1 when the package is there and verified. 0 after printing the message:
// the package file is closed and deleted, so nothing half-built stays for a
// later run to trust; verified part files and partial files stay, a part
// that failed its pin is deleted.
int build_package(InstallLayout *layout, DownloadSession *net, char *digest_text, unsigned char *copy_buffer);

// Deletes, in folder (the downloads folder: never one the setup did not
// make), the files on their way in (partial files, copies) that are not
// this release's, so that no other artefact's bytes are ever resumed; and,
// unless unfinished_only, the part files that this release does not name,
// so that the folder holds one release's parts. Only files of the parts'
// and the runtime archive's naming patterns, never anything else. Quiet; a
// file in use stays.
void delete_other_parts(const wchar_t *folder, int unfinished_only);
