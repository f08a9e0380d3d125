#include "part_report.h"

#include <inttypes.h>
#include <string.h>

#include "base/bounds.h"
#include "release_url.h"
#include "setuplist/part_folder.h"
#include "text_utf.h"

FolderKind part_folder_kind(const PartEntry* part, char* folder, size_t cap) {
  wchar_t wide[260];
  folder[0] = 0;
  if (!part_folder(part, wide)) return FOLDER_NONE;
  utf8_from_wide(wide, folder, cap);
  // The same part under a url that names no tool: a folder that stays is
  // the part's own.
  static PartEntry probe;
  probe = *part;
  COPY_CUT(probe.url, "https://example.invalid/none");
  wchar_t own[260];
  return part_folder(&probe, own) ? FOLDER_OWN : FOLDER_TOOL;
}

const char* folder_kind_word(FolderKind kind) {
  switch (kind) {
    case FOLDER_NONE: return "none";
    case FOLDER_OWN: return "own";
    case FOLDER_TOOL: return "tool";
  }
  return "none";
}

void print_part(FILE* out, const PartEntry* part, uint32_t index, uint32_t count, uint32_t line) {
  char where[48] = "";
  if (line) FMT_CUT(where, " (line %" PRIu32 ")", line);
  fprintf(out, "part %" PRIu32 " of %" PRIu32 "%s: %s, %" PRIu64 " bytes, sha256 %s\n", index + 1,
          count, where, url_file_name(part->url), part->size, part->sha256);
  char folder[1024];
  FolderKind kind = part_folder_kind(part, folder, sizeof folder);
  char rename[600] = "";
  if (strcmp(part->rename_from, "-") != 0 || strcmp(part->rename_to, "-") != 0)
    FMT_CUT(rename, ", rename %s to %s", part->rename_from, part->rename_to);
  fprintf(out, "  unpack into %s%s; folder: %s%s%s\n", part->extract_to, rename,
          folder_kind_word(kind), kind == FOLDER_NONE ? "" : " ", folder);
}
