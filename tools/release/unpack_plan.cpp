#include "unpack_plan.h"

#include <string.h>

#include "base/bounds.h"
#include "name_table.h"
#include "zip_read.h"

// Entry names can be 65535 bytes; the destination adds at most 260.
#define PLAN_PATH (65536 + 520)

static int lower(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Windows finds files whatever their letter case, and so does the setup's
// test for the builder and its rename: paths are compared the same way.
static int same_ci(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (lower((unsigned char)*a) != lower((unsigned char)*b)) return 0;
  return *a == *b;
}

// path is dir itself or lies below it.
static int at_or_below_ci(const char* path, const char* dir) {
  size_t n = strlen(dir);
  if (strlen(path) < n) return 0;
  for (size_t i = 0; i < n; i++)
    if (lower((unsigned char)path[i]) != lower((unsigned char)dir[i])) return 0;
  return path[n] == 0 || path[n] == '/';
}

static int is_sep(char c) { return c == '/' || c == '\\'; }

int normalize_path(const char* path, char* out, size_t cap) {
  size_t n = 0;
  const char* p = path;
  out[0] = 0;
  while (*p) {
    while (is_sep(*p)) p++;
    const char* seg = p;
    while (*p && !is_sep(*p)) p++;
    size_t len = (size_t)(p - seg);
    if (len == 0 || (len == 1 && seg[0] == '.')) continue;
    if (n + (n ? 1 : 0) + len + 1 > cap) return 0;
    if (n) out[n++] = '/';
    memcpy(out + n, seg, len);
    n += len;
    out[n] = 0;
  }
  return 1;
}

// The first segment of a normalized entry name: the top entry that a
// rename acts on.
static void top_entry(const char* norm, char* out, size_t cap) {
  size_t i = 0;
  for (; norm[i] && norm[i] != '/' && i + 1 < cap; i++) out[i] = norm[i];
  out[i] = 0;
}

static int renames(const PartEntry* part) {
  return strcmp(part->rename_from, "-") != 0 && strcmp(part->rename_to, "-") != 0;
}

// Where an entry ends up, relative to the version directory.
static void place_entry(const PartEntry* part, const char* name, char* out, size_t cap) {
  static char norm[PLAN_PATH], top[PLAN_PATH];
  normalize_path(name, norm, sizeof norm);
  const char* rest = norm;
  if (renames(part)) {
    top_entry(norm, top, sizeof top);
    if (same_ci(top, part->rename_from)) {
      rest = norm + strlen(top);  // "" or "/..."
      fmt_cut(top, sizeof top, "%s%s", part->rename_to, rest);
      rest = top;
    }
  }
  const char* dest = strcmp(part->extract_to, ".") == 0 ? "" : part->extract_to;
  static char joined[PLAN_PATH];
  fmt_cut(joined, sizeof joined, "%s/%s", dest, rest);
  normalize_path(joined, out, cap);
}

// Why Windows' tar would refuse, misplace or skip an entry, or unpack it
// differently from one machine to the next; null when it will not.
static const char* entry_fault(const ZipEntry* e) {
  if (e->name[0] == 0) return "has an entry without a name";
  if (e->type == ZIP_LINK)
    return "has a link entry, which tar skips or cannot make without a privilege most users "
           "lack";
  if (e->type == ZIP_OTHER) return "has an entry that is neither a file nor a folder";
  if (e->encrypted) return "has an encrypted entry, which tar cannot unpack";
  // Windows' tar is sure to handle these two; anything else may fail on
  // the user's machine, where nobody can fix it.
  if (!e->stored_or_deflated)
    return "has an entry compressed with a method other than store or deflate";
  if (is_sep(e->name[0])) return "has an entry with an absolute name";
  for (const char* c = e->name; *c; c++) {
    unsigned char b = (unsigned char)*c;
    if (b < 0x20 || strchr(":*?\"<>|", b)) return "has an entry name that Windows cannot create";
  }
  for (const char* p = e->name; *p;) {
    const char* seg = p;
    while (*p && !is_sep(*p)) p++;
    if (p - seg == 2 && seg[0] == '.' && seg[1] == '.')
      return "has an entry with \"..\" in its name, which leaves the folder it is unpacked into";
    while (is_sep(*p)) p++;
  }
  return NULL;
}

struct FirstPass {
  const PartEntry* part;
  const char* fault;
  char fault_name[300];
  int has_source;
  int has_target;
  int out_of_memory;
  NameTable names;
};

static int first_pass_visit(void* ctx, const ZipEntry* e) {
  FirstPass* s = (FirstPass*)ctx;
  s->fault = entry_fault(e);
  if (s->fault) {
    COPY_CUT(s->fault_name, e->name);
    return 0;
  }
  static char norm[PLAN_PATH];
  char top[300];
  normalize_path(e->name, norm, sizeof norm);
  if (!names_add(&s->names, norm, e->type == ZIP_DIR)) {
    s->out_of_memory = 1;
    return 0;
  }
  top_entry(norm, top, sizeof top);
  if (same_ci(top, s->part->rename_from)) s->has_source = 1;
  if (same_ci(top, s->part->rename_to)) s->has_target = 1;
  return 1;
}

struct Placement {
  const PartEntry* part;
  const char* target;  // normalized
  int want_file;       // exactly this file; else anything at or below it
  int found;
};

static int placement_visit(void* ctx, const ZipEntry* e) {
  static char placed[PLAN_PATH];
  Placement* s = (Placement*)ctx;
  place_entry(s->part, e->name, placed, sizeof placed);
  if (s->want_file ? e->type == ZIP_FILE && same_ci(placed, s->target)
                   : at_or_below_ci(placed, s->target))
    s->found = 1;
  return !s->found;
}

static int zip_places(const char* zip, const PartEntry* part, const char* target, int want_file) {
  Placement s = {part, target, want_file, 0};
  uint64_t n;
  char why[8];
  return zip_walk(zip, 0, placement_visit, &s, &n, why, sizeof why) && s.found;
}

static int fail(char* why, size_t cap, const char* zip, const char* text) {
  fmt_cut(why, cap, "%s: %s", zip, text);
  return 0;
}

int check_unpack_plan(const char* const* zips, const PartEntry* parts, uint32_t count,
                      const char* run, char* why, size_t why_cap) {
  static char target[PLAN_PATH], text[PLAN_PATH];
  why[0] = 0;
  for (uint32_t i = 0; i < count; i++) {
    const PartEntry* part = &parts[i];
    static FirstPass s;
    memset(&s, 0, sizeof s);
    s.part = part;
    uint64_t entries = 0;
    int read = zip_walk(zips[i], 1, first_pass_visit, &s, &entries, text, sizeof text);
    int clash = read && !s.fault && !s.out_of_memory && names_find_clash(&s.names, text, sizeof text);
    names_free(&s.names);
    if (!read || clash) return fail(why, why_cap, zips[i], text);
    if (s.out_of_memory) return fail(why, why_cap, zips[i], "has more names than memory holds");
    if (s.fault) {
      fmt_cut(text, sizeof text, "%s (\"%s\")", s.fault, s.fault_name);
      return fail(why, why_cap, zips[i], text);
    }
    if (entries == 0) return fail(why, why_cap, zips[i], "is an empty zip archive");
    if (!renames(part)) continue;
    if (!s.has_source) {
      fmt_cut(text, sizeof text,
              "has no top entry \"%s\": the setup would stop when it renames it to \"%s\"",
              part->rename_from, part->rename_to);
      return fail(why, why_cap, zips[i], text);
    }
    if (s.has_target) {
      fmt_cut(text, sizeof text,
              "already has a top entry \"%s\", so the setup would leave \"%s\" unrenamed",
              part->rename_to, part->rename_from);
      return fail(why, why_cap, zips[i], text);
    }
    const char* dest = strcmp(part->extract_to, ".") == 0 ? "" : part->extract_to;
    fmt_cut(text, sizeof text, "%s/%s", dest, part->rename_to);
    normalize_path(text, target, sizeof target);
    for (uint32_t k = 0; k < i; k++) {
      if (!zip_places(zips[k], &parts[k], target, 0)) continue;
      fmt_cut(text, sizeof text,
              "renames \"%s\" to \"%s\", but part %u (%s) already puts something there, so the "
              "setup would leave \"%s\" unrenamed",
              part->rename_from, target, (unsigned)(k + 1), zips[k], part->rename_from);
      return fail(why, why_cap, zips[i], text);
    }
  }
  size_t run_len = strlen(run);
  if (run_len == 0 || is_sep(run[run_len - 1]) || !normalize_path(run, target, sizeof target) ||
      !target[0]) {
    fmt_cut(why, why_cap, "run path \"%s\" does not name a file", run);
    return 0;
  }
  for (uint32_t i = 0; i < count; i++)
    if (zip_places(zips[i], &parts[i], target, 1)) return 1;
  fmt_cut(why, why_cap,
          "run path \"%s\": none of the %u parts puts a file there once unpacked (looked inside "
          "every zip, with its extract_to and rename)",
          run, (unsigned)count);
  return 0;
}
