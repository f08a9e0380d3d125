// Where the items of a setup list stand in its text, by line number, and
// the lines that look meant for the setup but that it ignores, drops or
// reads otherwise than they are written. Each line is read by the setup's
// own parser on its own: the setup's lines do not depend on each other
// beyond a later tag or run replacing an earlier one and the 16-part limit.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/setup_list.h"

struct ListLines {
  uint32_t tag_line;  // line of the tag the setup keeps; 0 when none
  uint32_t run_line;
  uint32_t part_line[MAX_PARTS];  // line of each counted part, in list order
  uint32_t part_count;
};

// Receives one finding: a 1-based line number (as an editor counts lines,
// CR LF being one line end) and a sentence.
typedef void (*LineNote)(void* ctx, uint32_t line, const char* text);

// Walks text (len bytes, read up to the first zero byte as the setup does)
// and fills where. Returns zero only when memory runs out.
int map_list_lines(const char* text, size_t len, ListLines* where, LineNote note, void* ctx);
