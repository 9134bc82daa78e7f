#pragma once

#include "setup/layout.h"

// From fetch/download.h, which brings windows.h: the sources include it after
// stdio.h, or a C++ header that windows.h pulls in switches MinGW's printf
// from the C runtime's own to its larger replacement.
struct DownloadSession;

// Files on their way in at once, each on a connection and a thread of its
// own: one connection gets only a share of a lossy link, and a connection
// that waits for the round trip of its next request leaves the link idle.
enum { TRANSFERS_AT_ONCE = 4 };

// What fetch_side_by_side fetches, and whether it installs what it fetched.
enum {
    FETCH_RUNTIME = 1,  // the runtime archive
    FETCH_PARTS = 2,    // every course part
    // The runtime is extracted into a fresh PythonNew as soon as it is
    // verified, while the parts arrive; the parts are appended in order to a
    // fresh PayloadArchive as they become verified, its digest computed on
    // the way, and it is kept only when it matches its pin.
    FETCH_INSTALL = 4
};

// Makes sure the verified runtime archive and the verified parts (as plan
// asks) lie in folder (the downloads folder, or an offline copy's): each
// kept, copied from the setup's folder or downloaded (setup/artefact.h), up
// to TRANSFERS_AT_ONCE at a time in net, the next one started as soon as
// one's bytes are in, each verified and made final on its own thread.
//
// The main thread alone prints: the same lines, in the same order, as
// fetching one file after the other would print (the runtime, then part 1,
// 2, ...), each once its step has begun and the steps before it have
// succeeded; with FETCH_INSTALL the runtime's extraction comes after the
// runtime, before part 1. On a console a counter below the lines shows the
// whole plan's bytes, speed and time left (erased at the end). The log gets
// each transfer's start and end, with its bytes and rate.
//
// 1 when all of it is there (with FETCH_INSTALL: PythonNew extracted, the
// package verified). 0 after printing the message of the first step, in
// that order, that failed: the other transfers are stopped at their next
// chunk and keep what they had as partial files; a package being built is
// deleted. Verified files always stay. digest_text is the run's
// DIGEST_TEXT_BYTES buffer, copy_buffer its COPY_BUFFER_BYTES buffer.
int fetch_side_by_side(InstallLayout *layout, const wchar_t *folder, int plan, DownloadSession *net,
                       char *digest_text, unsigned char *copy_buffer);
