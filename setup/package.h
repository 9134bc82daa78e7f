#pragma once

#include "setup/layout.h"

enum { COPY_BUFFER_BYTES = 65536 };

// The message of a course package that could not be built and verified.
#define PACKAGE_FAILED "The course package did not verify and was removed. Run the setup again.\n"

// Builds the course package PayloadArchive from its parts: downloads each
// part into the downloads folder, checks it against its pin before any of
// its bytes enter the package, appends it, and checks the whole package
// against its pin. digest_text is the run's DIGEST_TEXT_BYTES buffer,
// copy_buffer its COPY_BUFFER_BYTES buffer.
// 1 when the package is there and verified. 0 after printing the message:
// the package file is closed and deleted, so nothing half-built stays for a
// later run to trust; the part files stay.
int build_package(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer);
