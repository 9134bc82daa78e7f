#pragma once

#include "setup/layout.h"

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;
struct Artefact;
struct Sha256;
enum { COPY_BUFFER_BYTES = 65536, PART_URL_CHARS = 1024, PART_TITLE_CHARS = 40 };

// The message of a course package that could not be built and verified.
#define PACKAGE_FAILED "The course package did not verify and was removed. Run the setup again.\n"
// The line of a course part (its number) that did not match its pin.
#define PART_REFUSED "Course part %d failed its checksum.\n"

// PartFile = the path of course part n (from 1) in folder. 1 when it fits.
int part_path(InstallLayout *layout, const wchar_t *folder, int n);

// Makes sure the verified course part n (from 1; the pinned parts are
// named by content or numbered) lies in folder (the downloads folder, or an
// offline copy's) as PartFile (setup/artefact.h: kept, copied from the
// setup's folder or downloaded, resuming a partial file). 1 when it does.
// 0 otherwise, after printing PART_REFUSED when a download did not match
// its pin (then deleted); a download that did not complete prints nothing.
int fetch_part(InstallLayout *layout, const wchar_t *folder, DownloadSession *net, int n, char *digest_text);

// The artefact of course part n (from 1) in part, its URL and title in the
// caller's url (PART_URL_CHARS) and title (PART_TITLE_CHARS); its path in
// folder as PartFile. 1 when they fit.
int part_artefact(InstallLayout *layout, const wchar_t *folder, int n, wchar_t *url, char *title, Artefact *part);

// Appends the whole content of the file at path to package (a HANDLE open
// for writing), and adds it to digest on the way: each byte is read once.
// copy_buffer is COPY_BUFFER_BYTES. 1 when every byte was written; 0 with
// GetLastError() saying why.
int append_part(void *package, const wchar_t *path, unsigned char *copy_buffer, Sha256 *digest);

// Deletes, in folder (the downloads folder: never one the setup did not
// make), the files on their way in (partial files, copies) that are not
// this release's, so that no other artefact's bytes are ever resumed; and,
// unless unfinished_only, the part files that this release does not name,
// so that the folder holds one release's parts. Only files of the parts'
// and the runtime archive's naming patterns, never anything else. Quiet; a
// file in use stays.
void delete_other_parts(const wchar_t *folder, int unfinished_only);
