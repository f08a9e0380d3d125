// The setup's verdict on a list, and which item of the list draws it. The
// verdict always comes from the setup's own check_setup_list; the item is
// found by asking that same function about each item on its own, so the
// tool never keeps a second copy of the setup's rules.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/setup_list.h"

enum ListItem {
  ITEM_NONE,
  ITEM_TAG,
  ITEM_RUN,
  ITEM_PARTS,  // no part counted
  ITEM_SHA256,
  ITEM_URL,
  ITEM_EXTRACT_TO,
  ITEM_RENAME_FROM,
  ITEM_RENAME_TO,
};

struct ListFault {
  ListVerdict verdict;
  ListItem item;  // ITEM_NONE when accepted
  uint32_t part;  // 0-based, for the part fields
};

ListFault find_list_fault(const SetupList* list);

// The item's name as the list and the tool's options call it.
const char* list_item_name(ListItem item);
// What the setup wants of the item, in a few words.
const char* list_item_rule(ListItem item);
// The setup's own message for a verdict, as UTF-8 ("" for accepted).
void verdict_message(ListVerdict verdict, char* out, size_t cap);
// Nonzero when users can ask for this release with the setup's --tag:
// the setup's own reading of "--tag TAG" gives the tag back unchanged. A tag
// the list accepts (with a '+', say) can still be one --tag refuses, and the
// setup then quietly installs the latest release instead.
int tag_can_be_requested(const char* tag);

// "accepted", "unreadable" or "rejected".
const char* verdict_word(ListVerdict verdict);
