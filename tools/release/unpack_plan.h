// What the setup will find in the version directory once it has unpacked a
// release's parts, worked out from the zips' entry lists alone.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/setup_list.h"

// Follows the setup's unpacking of parts in list order into an empty
// directory: each zip goes into extract_to ("." for the directory itself),
// then its top entry rename_from is renamed to rename_to when both are set.
// Holds when every zip is readable and has entries that Windows' tar can
// unpack inside their destination (stored or deflated, not encrypted, no
// absolute name, no ".." and no name Windows cannot create), every rename
// finds its source and no existing target (the setup would skip the rename
// silently), and some part puts a file at run.
// zips[i] is where part i's archive is on this machine. Returns nonzero when
// all hold; otherwise zero with the first problem in why, naming the zip.
int check_unpack_plan(const char* const* zips, const PartEntry* parts, uint32_t count,
                      const char* run, char* why, size_t why_cap);

// Puts a relative path into the form the comparisons use: '/' only, no
// empty or "." segments, no separator at either end. Returns nonzero when
// it fitted into out.
int normalize_path(const char* path, char* out, size_t cap);
