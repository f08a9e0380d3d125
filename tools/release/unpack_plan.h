// What the setup will find in the version directory once it has unpacked a
// release's parts, worked out from the zips as libarchive (Windows' tar)
// reads them.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/setup_list.h"

// Follows the setup's unpacking of parts in list order into an empty
// directory: each zip goes into extract_to ("." for the directory itself),
// then its top entry rename_from is renamed to rename_to when both are set.
// Holds when every zip reads to its end, data included, and has entries
// that Windows' tar unpacks inside their destination alike on every machine
// (files and folders only, stored or deflated, not encrypted, names in
// UTF-8, no absolute name, no "..", no name Windows cannot create, no two
// names that Windows takes for one), every rename
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
