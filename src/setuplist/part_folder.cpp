#include "setuplist/part_folder.h"

#include <string.h>

#include "app/bounds.h"

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

// True when the last segment of path is empty, "." or "..": the path then
// names the directory it lies in, or that one's parent, not an entry of it.
static int ends_above_itself(const char* path) {
  const char* last = path;
  for (const char* c = path; *c; c++)
    if (*c == '/' || *c == '\\') last = c + 1;
  return !last[0] || strcmp(last, ".") == 0 || strcmp(last, "..") == 0;
}

int part_folder(const PartEntry* part, wchar_t out[260]) {
  char folder[260];
  if (strcmp(part->rename_to, "-") != 0 && strcmp(part->extract_to, ".") != 0) {
    // A renamed entry below its own directory: the folder is exactly what
    // the archive was unpacked to, so it can move as a unit.
    FMT_CUT(folder, "%s\\%s", part->extract_to, part->rename_to);
    // Cut at 259 bytes, the folder can stop just after the separator or
    // inside a name that begins with dots ("..x" after a 256-byte
    // extract_to leaves "..") and so name extract_to or its parent: moving
    // that would take other parts, or the version directory, along. Such
    // a part has no folder of its own to move.
    if (ends_above_itself(folder)) return 0;
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
