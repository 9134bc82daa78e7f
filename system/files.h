#pragma once

#include <wchar.h>

// A UTF-16 path buffer: 4096 characters, terminator included.
enum { WIDE_PATH_CHARS = 4096 };
typedef wchar_t WidePath[WIDE_PATH_CHARS];

// 1 when path names an existing file that is not a directory (read-only,
// hidden and empty files count); 0 for a directory, a missing, inaccessible
// or malformed path. Opens nothing.
int file_exists(const wchar_t *path);

// 1 when path is a folder.
int folder_exists(const wchar_t *path);

// Creates path and every missing folder above it. Reports nothing: a folder
// that cannot be made shows up later, when something fails to be written
// into it. Paths of WIDE_PATH_CHARS characters or more are ignored.
void mkdirs(const wchar_t *path);

// Bounded composition into out (capacity cap, terminator included) with the
// C runtime's wide formatter. 1 when the whole result fits and is
// terminated; 0 when it would not fit, with out set to the empty string, so
// that a truncated path is never used.
int compose_path(wchar_t *out, size_t cap, const wchar_t *format, ...);

// out (a WidePath) = parent + "\\" + child. 1 when it fits; 0 when it would
// not, with out set to the empty string.
int join_path(wchar_t *out, const wchar_t *parent, const wchar_t *child);

// 1 when path is folder or lies below it (compared as Windows compares
// names: case-insensitive, ordinal; a trailing backslash on either counts
// for nothing). Both should be full paths.
int path_within(const wchar_t *path, const wchar_t *folder);

// out (a WidePath) = the full path of the running program's file. 1 when
// Windows names it and it fits; 0 otherwise, with out set to the empty
// string.
int program_path(wchar_t *out);

// out (a WidePath) = the user's temporary folder (as Windows names it,
// %TEMP%) + name. 1 when it fits; 0 when Windows names no folder or the
// path would not fit, with out set to the empty string. Creates nothing.
int temp_path(wchar_t *out, const wchar_t *name);

// Reads the first cap bytes of the file at path (fewer when it is shorter)
// into buffer; *got receives the count. 1 when the file could be opened and
// read; 0 otherwise, with *got 0.
int read_file_start(const wchar_t *path, char *buffer, unsigned long cap, unsigned long *got);

// Writes the length bytes of data as the whole content of the file at path,
// replacing a file that is there (truncated first: CREATE_ALWAYS). 1 when
// every byte was written, flushed to disk and the file closed. 0 otherwise,
// GetLastError() saying why: a file it created is deleted again, so that no
// torn one stays; when none could be created, path is left as it was.
int write_whole_file(const wchar_t *path, const void *data, unsigned long length);

// Copies the file source to target (replacing one that is there) as a plain
// writable file: a read-only source (a CD, a copied share) must not give a
// read-only copy, which no later copy could replace. 1 when target is the
// copy; 0 otherwise (target may then be missing or torn).
int copy_file(const wchar_t *source, const wchar_t *target);

// Asks Windows to write what it holds of the file at path to the disk. 1
// when it did; 0 with GetLastError() saying why. A read-only file is
// flushed too, its attribute kept.
int flush_file(const wchar_t *path);

// Makes the finished file temp the file target: flushes it to disk, then
// renames it over target (write-through), so that a file under a final
// name is on disk whole, whatever happens to the power after. Whatever
// checks temp must do so before. 1 when target is that file; 0 otherwise,
// with target as it was and temp left where it is.
int make_final(const wchar_t *temp, const wchar_t *target);

// 1 when error (a GetLastError value) is Windows' word for a full disk
// (ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL).
int disk_full_error(unsigned long error);

// 1 when the volume of folder has less than bytes free (0 when Windows
// cannot say):
// what an extraction that failed is measured by, since tar's exit code does
// not say why.
int short_of_space(const wchar_t *folder, unsigned long long bytes);

// Puts a byte-for-byte copy of source at target: copied to temp first, then
// made final (make_final), so that target is never a torn copy. 1 when
// target is the copy; 0 otherwise (temp removed, target as it was).
int install_copy(const wchar_t *source, const wchar_t *target, const wchar_t *temp);
