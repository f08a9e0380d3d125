// Which folder a part occupies once installed, and the parts record.
#pragma once
#include <stddef.h>

#include "setuplist/setup_list.h"

// Fills out (260 units, backslashes only) with the part's folder relative
// to the version directory and returns nonzero; returns zero and leaves
// out untouched when the part has no folder. No side effects.
int part_folder(const PartEntry* part, wchar_t out[260]);

// The text of parts.txt for these parts: one "sha256\n" per part that has
// a folder, in list order. out must hold 16 * 65 + 1 bytes. Returns its length.
size_t parts_record_text(const PartEntry* parts, uint32_t count, char out[16 * 65 + 1]);

// Writes parts.txt into version_dir, replacing it; silent on failure.
void write_parts(const wchar_t* version_dir, const PartEntry* parts, uint32_t count);
