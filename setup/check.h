#pragma once

struct RunLog;

// What check_tree found.
enum TreeState {
    TREE_INTACT,     // every file the archive names is there as it holds it
    TREE_DAMAGED,    // one at least is missing, of another size or content
    TREE_UNCHECKED,  // the archive's directory could not be read
};

// Compares the installed tree with the ZIP directory at the end of the file
// archive: for each file entry, tree\<its name> must be a file of the size
// recorded there; with content, its CRC-32 must also be the recorded one.
// The directory (and the end record before it) must lie wholly in archive:
// a ZIP of one file, or the last part of a package whose directory is a
// part of its own (or falls in the last one). archive must have matched its
// pin: its names are trusted as far as being relative paths below tree, and
// a name that is not (absolute, "..", a drive) makes the directory
// unreadable. Files the directory does not name are never looked at;
// folder entries are not checked. The first damaged files are noted in log.
// buffer is the run's COPY_BUFFER_BYTES buffer (setup/package.h).
TreeState check_tree(const wchar_t *archive, const wchar_t *tree, int content, RunLog *log, unsigned char *buffer);
