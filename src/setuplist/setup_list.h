// The setup list: text format, parsing and checks. No Windows header.
#pragma once
#include <stdint.h>

#define MAX_PARTS 16

struct PartEntry {
  char sha256[65];       // 64 lowercase hex digits after the checks
  uint64_t size;         // archive size in bytes
  char extract_to[260];  // "." or a relative directory
  char rename_from[260]; // "-" or the archive's top entry
  char rename_to[260];   // "-" or its new name
  char url[1024];        // https download link
};

struct SetupList {
  char tag[128];
  char run[260];
  PartEntry parts[MAX_PARTS];
  uint32_t part_count;
};

enum ListVerdict { LIST_ACCEPTED = 0, LIST_UNREADABLE = 1, LIST_REJECTED = 2 };

// Parses a NUL-terminated body; may cut it into lines in place. Never fails.
void parse_setup_list(char* text, SetupList* list);

// Judges a parsed list; the first failing test decides.
ListVerdict check_setup_list(const SetupList* list);

// The one rule for names (allow_slashes 0) and relative paths (nonzero).
int list_name_ok(const char* text, int allow_slashes);

// Compares the requested tag (from g_cmdline) with the list's tag. Returns
// nonzero and fills requested (128 bytes) when they differ.
int check_requested_tag(const SetupList* list, char requested[128]);

// The messages for a verdict other than accepted, and for a tag mismatch
// (first %ls the list's tag, second the requested one).
extern const wchar_t* const kListUnreadableMessage;
extern const wchar_t* const kListRejectedMessage;
extern const wchar_t* const kTagMismatchMessage;
