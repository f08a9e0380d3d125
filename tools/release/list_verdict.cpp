#include "list_verdict.h"

#include <string.h>

#include "base/bounds.h"
#include "base/cmdline.h"
#include "net/setup_address.h"
#include "text_utf.h"

// A part that the setup accepts, and a list around one item under test.
static void good_part(PartEntry* p) {
  memset(p, 0, sizeof *p);
  memset(p->sha256, '0', 64);
  COPY_CUT(p->url, "https://example.invalid/part.zip");
  COPY_CUT(p->extract_to, ".");
  COPY_CUT(p->rename_from, "-");
  COPY_CUT(p->rename_to, "-");
}

static SetupList* probe_list(const char* tag, const char* run) {
  static SetupList probe;
  memset(&probe, 0, sizeof probe);
  COPY_CUT(probe.tag, tag);
  COPY_CUT(probe.run, run);
  good_part(&probe.parts[0]);
  probe.part_count = 1;
  return &probe;
}

ListFault find_list_fault(const SetupList* list) {
  ListFault f = {check_setup_list(list), ITEM_NONE, 0};
  if (f.verdict == LIST_ACCEPTED) return f;
  // Probed in the order the setup tests: the first item that draws the
  // same verdict on its own is the one the setup stopped at.
  if (check_setup_list(probe_list(list->tag, "r")) == f.verdict) {
    f.item = ITEM_TAG;
    return f;
  }
  if (check_setup_list(probe_list("t", list->run)) == f.verdict) {
    f.item = ITEM_RUN;
    return f;
  }
  if (list->part_count == 0) {
    f.item = ITEM_PARTS;
    return f;
  }
  for (uint32_t i = 0; i < list->part_count && i < MAX_PARTS; i++) {
    const PartEntry* real = &list->parts[i];
    static const ListItem kFields[] = {ITEM_SHA256, ITEM_URL, ITEM_EXTRACT_TO, ITEM_RENAME_FROM,
                                       ITEM_RENAME_TO};
    for (size_t k = 0; k < dimof(kFields); k++) {
      SetupList* probe = probe_list("t", "r");
      PartEntry* p = &probe->parts[0];
      switch (kFields[k]) {
        case ITEM_SHA256: memcpy(p->sha256, real->sha256, sizeof p->sha256); break;
        case ITEM_URL: memcpy(p->url, real->url, sizeof p->url); break;
        case ITEM_EXTRACT_TO: memcpy(p->extract_to, real->extract_to, sizeof p->extract_to); break;
        case ITEM_RENAME_FROM: memcpy(p->rename_from, real->rename_from, sizeof p->rename_from); break;
        default: memcpy(p->rename_to, real->rename_to, sizeof p->rename_to); break;
      }
      if (check_setup_list(probe) == f.verdict) {
        f.item = kFields[k];
        f.part = i;
        return f;
      }
    }
  }
  return f;  // cannot happen: some item drew the verdict
}

const char* list_item_name(ListItem item) {
  switch (item) {
    case ITEM_NONE: return "list";
    case ITEM_TAG: return "tag";
    case ITEM_RUN: return "run";
    case ITEM_PARTS: return "part";
    case ITEM_SHA256: return "sha256";
    case ITEM_URL: return "url";
    case ITEM_EXTRACT_TO: return "extract_to";
    case ITEM_RENAME_FROM: return "rename_from";
    case ITEM_RENAME_TO: return "rename_to";
  }
  return "list";
}

const char* list_item_rule(ListItem item) {
  switch (item) {
    case ITEM_NONE: return "";
    case ITEM_TAG:
      return "a tag may hold only letters, digits, '.', '_', '+' and '-', and may not be \".\" "
             "or \"..\"";
    case ITEM_RUN:
      return "a run path is relative: letters, digits, '.', '_', '+', '-' and '/', without "
             "empty, \".\" or \"..\" segments";
    case ITEM_PARTS: return "the setup needs at least one complete part line";
    case ITEM_SHA256: return "the sha256 must be 64 lowercase hexadecimal digits";
    case ITEM_URL: return "the url must begin with https://";
    case ITEM_EXTRACT_TO:
      return "extract_to must be \".\" or a relative path of letters, digits, '.', '_', '+', "
             "'-' and '/', without empty, \".\" or \"..\" segments";
    case ITEM_RENAME_FROM:
    case ITEM_RENAME_TO:
      return "a rename name must be \"-\" or a single name of letters, digits, '.', '_', '+' "
             "and '-' (no separators, not \".\" or \"..\")";
  }
  return "";
}

void verdict_message(ListVerdict verdict, char* out, size_t cap) {
  const wchar_t* msg = verdict == LIST_UNREADABLE  ? kListUnreadableMessage
                       : verdict == LIST_REJECTED ? kListRejectedMessage
                                                  : L"";
  utf8_from_wide(msg, out, cap);
}

const char* verdict_word(ListVerdict verdict) {
  switch (verdict) {
    case LIST_ACCEPTED: return "accepted";
    case LIST_UNREADABLE: return "unreadable";
    case LIST_REJECTED: return "rejected";
  }
  return "rejected";
}

int tag_can_be_requested(const char* tag) {
  wchar_t line[160];
  char got[128];
  if (strlen(tag) >= sizeof got) return 0;
  // The tag as a user would type it; only ASCII can come back unchanged.
  size_t n = 0;
  for (const char* p = "--tag "; *p; p++) line[n++] = (wchar_t)*p;
  for (const char* p = tag; *p && n + 1 < dimof(line); p++) line[n++] = (wchar_t)(unsigned char)*p;
  line[n] = 0;
  set_cmdline(line);
  requested_tag(got);
  set_cmdline(NULL);
  return strcmp(got, tag) == 0;
}
