// The paths one zip puts on disk, for the clashes that Windows' tar turns
// into something else than what the zip holds: two spellings of one name
// in different letter case (one file or folder on Windows), a name that is
// both a file and a folder, and a file stored twice.
#pragma once
#include <stddef.h>

struct NameTable {
  char* data;     // records: kind byte ('d' or 'f'), path, zero byte
  size_t len, cap;
  size_t* offs;   // where each record begins
  size_t count, offs_cap;
  size_t last;    // the record of the entry added last; 0 before the first
};

// Adds a normalized path ('/' only, no empty or "." segments) and every
// folder above it. Returns zero when memory ran out.
int names_add(NameTable* t, const char* path, int is_dir);

// Sorts the table and describes the first clash in why (naming both
// entries). Returns nonzero when there is one.
int names_find_clash(NameTable* t, char* why, size_t why_cap);

void names_free(NameTable* t);

// Compares two UTF-8 paths the way Windows compares file names: letter case
// folded for ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
int compare_folded(const char* a, const char* b);
