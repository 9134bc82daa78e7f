#pragma once

#include "setup/layout.h"

enum { COPY_BUFFER_BYTES = 65536 };

// The message of a course package that could not be built and verified.
#define PACKAGE_FAILED "The course package did not verify and was removed. Run the setup again.\n"

// Builds the course package PayloadArchive from its parts: takes each part
// from the downloads folder where it lies there and matches its pin, else
// downloads it there (resuming a partial file) and checks it against its
// pin before any of its bytes enter the package; appends it, and checks the
// whole package against its pin. digest_text is the run's DIGEST_TEXT_BYTES buffer,
// copy_buffer its COPY_BUFFER_BYTES buffer.
// 1 when the package is there and verified. 0 after printing the message:
// the package file is closed and deleted, so nothing half-built stays for a
// later run to trust; verified part files and partial files stay, a part
// that failed its pin is deleted.
int build_package(InstallLayout *layout, char *digest_text, unsigned char *copy_buffer);
