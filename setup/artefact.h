#pragma once

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;

// One pinned file of a run (the runtime archive or a course part): where it
// comes from, what it must be, and what the progress lines call it
// ("Python runtime", "course part 3 of 12").
struct Artefact {
    const wchar_t *url;
    const char *sha256;       // digest text, 64 lowercase hex characters
    unsigned long long size;  // pinned size in bytes; 0: not pinned
    const char *title;
};

// What obtain_artefact found when it did not succeed.
enum ArtefactFailure { ARTEFACT_NOT_FETCHED, ARTEFACT_REFUSED };

// Makes sure that dest holds the artefact, verified, taking it from the first
// place that has it:
// - dest itself, when it matches its pin (an earlier run verified it);
// - the file of dest's name in setup_dir (a folder that an offline copy may
//   be; empty: none) when it matches its pin: copied ("Copying <title> from
//   the setup's folder ...") beside dest under dest's copying name, checked
//   again, then made final (system/files.h); the file there is only ever
//   read;
// - the host: downloaded ("Downloading <title> ...", with a counter on a
//   console; fetch/download.h) into dest's partial file (fetch/resume.h:
//   named by the pin, resumed from what an earlier run stored), checked,
//   then made final.
// A file anywhere that does not match its pin is never used, and dest is
// replaced only by a verified file: a failure never deletes it.
// 1 when dest holds the verified artefact. 0 otherwise, with *failure
// ARTEFACT_NOT_FETCHED (no verified file could be had: the download did not
// complete, or its verified file could not be made final; its partial file
// keeps what arrived) or ARTEFACT_REFUSED (the download completed and
// failed its pin: deleted). A write or a flush that a full disk refused
// sets net->disk_full. digest_text is the run's DIGEST_TEXT_BYTES buffer.
int obtain_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest,
                    char *digest_text, ArtefactFailure *failure);

// The quiet steps of obtain_artefact, for a caller that prints its lines
// itself and fetches several files at once (each on a thread of its own:
// each call touches only its own files and digest_text).
// 1 when setup_dir (empty: none) holds dest's file, matching its pin; its
// path then in source (a WidePath).
int setup_folder_source(const Artefact *artefact, const wchar_t *setup_dir, const wchar_t *dest, wchar_t *source,
                        char *digest_text);
// Copies source to dest's copying name, checks the copy and makes it dest.
// 1 when dest is the verified copy; 0 with nothing of the copy left.
int copy_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *source, const wchar_t *dest,
                  char *digest_text);
// Makes the finished file temp the artefact at dest, only when it matches
// its pin. 1 when dest is the verified file. 0 otherwise: a temp that
// failed its pin is deleted (*refused 1), one that could not be renamed is
// kept (a full disk noted in net); dest is as it was.
int settle_artefact(DownloadSession *net, const Artefact *artefact, const wchar_t *temp, const wchar_t *dest,
                    char *digest_text, int *refused);

// out (a WidePath) = dest + ".copying": where a copy from the setup's
// folder is written until it is verified. 1 when it fits; 0 otherwise.
int copying_path(wchar_t *out, const wchar_t *dest);
