// Files by UTF-8 path with 64-bit offsets, on Linux and on Windows (where
// narrow paths would go through the ANSI code page and lose characters).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// fopen with a UTF-8 path; mode as for fopen (always pass "b").
FILE* open_file(const char* path, const char* mode);
// Removes a file; nonzero on success.
int remove_file(const char* path);
// Moves from over to, replacing an existing file; nonzero on success.
int replace_file(const char* from, const char* to);
// Absolute positioning and the length, beyond 2 GiB as well; nonzero on success.
int seek_file(FILE* f, uint64_t offset);
int file_length(FILE* f, uint64_t* length);

enum ReadResult { READ_OK, READ_CANNOT_OPEN, READ_FAILED, READ_TOO_BIG };
// Reads a whole file of at most max bytes into a new malloc'd buffer with a
// terminating zero byte after the data. The caller frees *data.
ReadResult read_whole_file(const char* path, size_t max, char** data, size_t* length);

// The file name part of a path: after the last '/' or '\'.
const char* path_file_name(const char* path);
