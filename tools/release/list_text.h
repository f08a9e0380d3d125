// The setup list as text: written from a SetupList, and read back through
// the setup's own parser to prove that the setup reads what was meant.
#pragma once
#include <stddef.h>

#include "setuplist/setup_list.h"

// The longest text format_setup_list can produce for a full list.
#define LIST_TEXT_CAP                                                                    \
  (sizeof "tag \n" + sizeof(SetupList::tag) + sizeof "run \n" + sizeof(SetupList::run) + \
   MAX_PARTS * (sizeof "part " + sizeof(PartEntry::sha256) + 21 +                        \
                3 * sizeof(PartEntry::extract_to) + sizeof(PartEntry::url) + 8))

// "tag", "run", then one "part" line per part, fields separated by single
// blanks, each line ended by a line feed. Returns the length, or 0 when it
// did not fit into cap.
size_t format_setup_list(const SetupList* list, char* out, size_t cap);

// Parses text (a copy: the parser cuts its input) with parse_setup_list and
// compares the result with meant. Returns nonzero when every field reads
// back exactly; otherwise zero with the first difference in why.
int list_reads_back(const char* text, size_t len, const SetupList* meant, char* why, size_t why_cap);
