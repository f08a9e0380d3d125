#include "name_table.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"
#include "grow.h"

// Decodes one UTF-8 character; malformed bytes stand for themselves.
static uint32_t next_char(const unsigned char** p) {
  const unsigned char* s = *p;
  uint32_t c = s[0];
  int n = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  for (int i = 1; i <= n; i++)
    if ((s[i] & 0xC0) != 0x80) n = 0;
  if (n) {
    c &= 0x3F >> n;
    for (int i = 1; i <= n; i++) c = c << 6 | (s[i] & 0x3F);
  }
  *p = s + 1 + n;
  return c;
}

// Upper case to lower case in the scripts release files are named in. NTFS
// folds more (its table covers all of Unicode); these are the ones a
// maintainer's tools are likely to produce.
static uint32_t fold(uint32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

int compare_folded(const char* a, const char* b) {
  const unsigned char* p = (const unsigned char*)a;
  const unsigned char* q = (const unsigned char*)b;
  while (*p && *q) {
    if (*p < 0x80 && *q < 0x80) {  // the common case, without decoding
      uint32_t x = fold(*p++), y = fold(*q++);
      if (x != y) return x < y ? -1 : 1;
      continue;
    }
    uint32_t x = fold(next_char(&p)), y = fold(next_char(&q));
    if (x != y) return x < y ? -1 : 1;
  }
  return *p ? 1 : *q ? -1 : 0;
}

static int add_record(NameTable* t, const char* path, size_t len, char kind) {
  if (!grow_for_one(&t->offs, t->count, &t->offs_cap, 1024)) return 0;
  if (len + 2 > t->cap - t->len) {
    size_t cap = t->cap ? t->cap * 2 : 65536;
    while (len + 2 > cap - t->len) cap *= 2;
    char* grown = (char*)realloc(t->data, cap);
    if (!grown) return 0;
    t->data = grown;
    t->cap = cap;
  }
  t->offs[t->count++] = t->len;
  t->data[t->len++] = kind;
  memcpy(t->data + t->len, path, len);
  t->len += len;
  t->data[t->len++] = 0;
  return 1;
}

int names_add(NameTable* t, const char* path, int is_dir) {
  // A folder above a name is made on disk as surely as an entry of its own.
  // Entries come folder by folder: one already added for the entry before,
  // spelt the same, needs no second record.
  const char* last = t->last ? t->data + t->last + 1 : "";
  for (const char* s = strchr(path, '/'); s; s = strchr(s + 1, '/')) {
    size_t len = (size_t)(s - path);
    if (strncmp(last, path, len + 1) == 0) continue;
    if (!add_record(t, path, len, 'd')) return 0;
  }
  if (path[0] == 0) return 1;
  if (!add_record(t, path, strlen(path), is_dir ? 'd' : 'f')) return 0;
  t->last = t->offs[t->count - 1];
  return 1;
}

static const char* g_base;  // the table being sorted

static int by_folded_name(const void* x, const void* y) {
  const char* a = g_base + *(const size_t*)x;
  const char* b = g_base + *(const size_t*)y;
  int c = compare_folded(a + 1, b + 1);
  if (c == 0) c = strcmp(a + 1, b + 1);
  if (c == 0) c = a[0] - b[0];
  return c;
}

int names_find_clash(NameTable* t, char* why, size_t why_cap) {
  if (t->count < 2) return 0;
  g_base = t->data;
  qsort(t->offs, t->count, sizeof *t->offs, by_folded_name);
  for (size_t i = 0; i + 1 < t->count; i++) {
    const char* a = t->data + t->offs[i];
    const char* b = t->data + t->offs[i + 1];
    if (compare_folded(a + 1, b + 1) != 0) continue;
    if (strcmp(a + 1, b + 1) != 0) {
      fmt_cut(why, why_cap,
              "has two names that differ only in letter case (\"%s\" and \"%s\"), which are one "
              "name on Windows",
              a + 1, b + 1);
      return 1;
    }
    if (a[0] != b[0]) {
      fmt_cut(why, why_cap, "has \"%s\" both as a file and as a folder", a + 1);
      return 1;
    }
    if (a[0] == 'f') {
      fmt_cut(why, why_cap, "has two entries named \"%s\"; tar would keep only the last", a + 1);
      return 1;
    }
  }
  return 0;
}

void names_free(NameTable* t) {
  free(t->data);
  free(t->offs);
  memset(t, 0, sizeof *t);
}
