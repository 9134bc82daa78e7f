#pragma once

// The "--selftest" mode: hashes three published SHA-256 test vectors through
// a temporary file and the setup's own file digest, prints a PASS or FAIL
// line for each, the pinned digests, the number of course parts and a
// verdict. Returns the exit code: 0 when every vector passed, else 1.
// Touches nothing but "zept-selftest.tmp" in the temporary folder, which it
// deletes again; never waits for the user.
int run_selftest(void);
