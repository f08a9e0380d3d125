// The key that names one data root's install guard. No Windows header.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Key of a data root given as a full, upper-cased path. Spellings of one
// folder that differ only in repeated or trailing separators, or in '/'
// for '\', give the same key; a leading "\\" (a share) is kept as it is.
// Never 0, so that 0 can mean "no key".
uint64_t guard_key(const wchar_t* full_upper_path);

// "Global\BrisquelBuilderSetup-<16 hex digits>" for key, cut at cap-1
// units and always terminated.
void guard_object_name(uint64_t key, wchar_t* out, size_t cap);
