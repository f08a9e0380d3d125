#include "list_text.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"

static int append(char* out, size_t cap, size_t* len, const char* format, const char* a,
                  const char* b = "") {
  if (*len >= cap) return 0;
  if (!fmt_cut(out + *len, cap - *len, format, a, b)) return 0;
  *len += strlen(out + *len);
  return 1;
}

size_t format_setup_list(const SetupList* list, char* out, size_t cap) {
  size_t len = 0;
  if (cap == 0) return 0;
  out[0] = 0;
  if (!append(out, cap, &len, "tag %s\n", list->tag)) return 0;
  if (!append(out, cap, &len, "run %s\n", list->run)) return 0;
  for (uint32_t i = 0; i < list->part_count && i < MAX_PARTS; i++) {
    const PartEntry* p = &list->parts[i];
    // PRIu64 is the runtime's own spelling of a 64-bit size (msvcrt's
    // printf does not take every C99 length modifier).
    char size[24];
    FMT_CUT(size, "%" PRIu64, p->size);
    if (!append(out, cap, &len, "part %s %s", p->sha256, size)) return 0;
    if (!append(out, cap, &len, " %s %s", p->extract_to, p->rename_from)) return 0;
    if (!append(out, cap, &len, " %s %s\n", p->rename_to, p->url)) return 0;
  }
  return len;
}

static int differs(char* why, size_t cap, const char* field, const char* meant, const char* got) {
  fmt_cut(why, cap, "%s \"%s\" reads back as \"%s\"", field, meant, got);
  return 0;
}

int list_reads_back(const char* text, size_t len, const SetupList* meant, char* why,
                    size_t why_cap) {
  static SetupList got;
  char* copy = (char*)malloc(len + 1);
  if (!copy) {
    fmt_cut(why, why_cap, "out of memory");
    return 0;
  }
  memcpy(copy, text, len);
  copy[len] = 0;
  parse_setup_list(copy, &got);
  free(copy);
  why[0] = 0;
  if (strcmp(got.tag, meant->tag) != 0) return differs(why, why_cap, "tag", meant->tag, got.tag);
  if (strcmp(got.run, meant->run) != 0) return differs(why, why_cap, "run", meant->run, got.run);
  if (got.part_count != meant->part_count) {
    fmt_cut(why, why_cap, "%u parts read back as %u", (unsigned)meant->part_count,
            (unsigned)got.part_count);
    return 0;
  }
  for (uint32_t i = 0; i < got.part_count; i++) {
    const PartEntry* a = &meant->parts[i];
    const PartEntry* b = &got.parts[i];
    const char* fields[][3] = {{"sha256", a->sha256, b->sha256},
                               {"extract_to", a->extract_to, b->extract_to},
                               {"rename_from", a->rename_from, b->rename_from},
                               {"rename_to", a->rename_to, b->rename_to},
                               {"url", a->url, b->url}};
    for (size_t k = 0; k < dimof(fields); k++)
      if (strcmp(fields[k][1], fields[k][2]) != 0)
        return differs(why, why_cap, fields[k][0], fields[k][1], fields[k][2]);
    if (a->size != b->size) {
      char sa[24], sb[24];
      FMT_CUT(sa, "%" PRIu64, a->size);
      FMT_CUT(sb, "%" PRIu64, b->size);
      return differs(why, why_cap, "size", sa, sb);
    }
  }
  return 1;
}
