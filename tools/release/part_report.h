// How a part is shown to the maintainer: its archive, size, where it is
// unpacked and the folder the setup files it under.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "setuplist/setup_list.h"

enum FolderKind { FOLDER_NONE, FOLDER_OWN, FOLDER_TOOL };

// The setup's part_folder for this part, as UTF-8, and which of its two
// cases gave it: the part's own extract_to and rename_to, or a tool's name
// prefix on the url's file name.
FolderKind part_folder_kind(const PartEntry* part, char* folder, size_t cap);

const char* folder_kind_word(FolderKind kind);

// "part I of N[ (line L)]: FILE, SIZE bytes" and a second line with the
// unpack place, rename and folder. line 0 leaves the line out.
void print_part(FILE* out, const PartEntry* part, uint32_t index, uint32_t count, uint32_t line);
