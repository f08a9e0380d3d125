#include "setuplist/part_folder.h"

#include <string.h>

#include "base/bounds.h"

// Tried in this order; the first whose prefix starts the url's file name wins.
static const char* const kTools[] = {"python", "emsdk", "cpm", "third_party", "wgpu-native"};

#define RECORD_LINE 65  // 64 hex digits and a line feed
static_assert(sizeof(PartEntry::sha256) == RECORD_LINE, "one record line per digest");

// Widens an ASCII text unit for unit, turning '/' into '\'. The names come
// from a checked list, so they hold ASCII only and need no code page.
static void widen_path(wchar_t out[260], const char* narrow) {
  size_t i = 0;
  for (; narrow[i]; i++) out[i] = narrow[i] == '/' ? L'\\' : (wchar_t)(unsigned char)narrow[i];
  out[i] = 0;
}

int part_folder(const PartEntry* part, wchar_t out[260]) {
  char folder[260];
  if (strcmp(part->rename_to, "-") != 0 && strcmp(part->extract_to, ".") != 0) {
    // A renamed entry below its own directory: the folder is exactly what
    // the archive was unpacked to, so it can move as a unit.
    // A folder cut at the path bound would name something else: extract_to
    // itself, its parent ("..x" cut to ".."), or another part's folder.
    // Moving that on an update would take other parts along, so a part
    // whose folder does not fit has no folder to move.
    if (!FMT_CUT(folder, "%s\\%s", part->extract_to, part->rename_to)) return 0;
    widen_path(out, folder);
    return 1;
  }
  const char* slash = strrchr(part->url, '/');
  const char* file = slash ? slash + 1 : part->url;
  for (size_t t = 0; t < dimof(kTools); t++) {
    char prefix[64];
    FMT_CUT(prefix, "TamrockBuilder-%s-", kTools[t]);
    if (strncmp(file, prefix, strlen(prefix)) == 0) {
      FMT_CUT(folder, "TamrockBuilder\\tools\\%s", kTools[t]);
      widen_path(out, folder);
      return 1;
    }
  }
  return 0;
}

size_t parts_record_text(const PartEntry* parts, uint32_t count, char out[16 * 65 + 1]) {
  static_assert(MAX_PARTS * RECORD_LINE + 1 == 16 * 65 + 1, "record buffer");
  const size_t cap = MAX_PARTS * RECORD_LINE + 1;
  size_t len = 0;
  out[0] = 0;
  if (count > MAX_PARTS) count = MAX_PARTS;  // cannot happen: the list holds 16 slots
  for (uint32_t i = 0; i < count; i++) {
    wchar_t folder[260];
    if (!part_folder(&parts[i], folder)) continue;
    char line[128];
    FMT_CUT(line, "%s\n", parts[i].sha256);
    len += copy_cut(out + len, cap - len, line);
  }
  return len;
}
