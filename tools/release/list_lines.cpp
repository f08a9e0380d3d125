#include "list_lines.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"

// White space as the setup's sscanf sees it in the C locale.
static int is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Tokens {
  const char* at[7];
  size_t len[7];
  int count;  // up to 7: one more than any line needs shows extra text
};

static void split_tokens(const char* s, size_t n, Tokens* t) {
  t->count = 0;
  size_t i = 0;
  while (t->count < 7) {
    while (i < n && is_space(s[i])) i++;
    if (i == n) break;
    size_t start = i;
    while (i < n && !is_space(s[i])) i++;
    t->at[t->count] = s + start;
    t->len[t->count] = i - start;
    t->count++;
  }
}

static int token_is(const Tokens* t, int k, const char* value) {
  return t->len[k] == strlen(value) && memcmp(t->at[k], value, t->len[k]) == 0;
}

struct Walk {
  LineNote note;
  void* ctx;
  uint32_t line;
};

static void notef(Walk* w, const char* format, const char* a, const char* b = "") {
  char text[512];
  FMT_CUT(text, format, a, b);
  w->note(w->ctx, w->line, text);
}

// The setup took fields from the line; were they the tokens as written?
static void compare_fields(Walk* w, const Tokens* t, const char* const* names,
                           const char* const* values, int n) {
  for (int k = 0; k < n && k < t->count; k++) {
    if (token_is(t, k, values[k])) continue;
    char written[300];
    size_t len = t->len[k] < sizeof written - 1 ? t->len[k] : sizeof written - 1;
    memcpy(written, t->at[k], len);
    written[len] = 0;
    char what[600];
    FMT_CUT(what, "the setup reads %s as \"%s\"", names[k], values[k]);
    notef(w, "%s, not \"%s\" as written (a field too long for the setup is cut, and the rest "
             "moves into the next field)", what, written);
    return;
  }
  if (t->count > n)
    notef(w, "the setup ignores the text after the %s on this line", names[n - 1]);
}

static int starts_with(const char* s, size_t n, const char* prefix) {
  size_t p = strlen(prefix);
  return n >= p && memcmp(s, prefix, p) == 0;
}

// A line the setup ignores that reads like one of its keywords: other
// letter case, white space before it, or a tab after it.
static int near_keyword(const char* s, size_t n) {
  size_t i = 0;
  while (i < n && (s[i] == ' ' || s[i] == '\t')) i++;
  static const char* const kWords[] = {"tag", "run", "part"};
  for (size_t k = 0; k < dimof(kWords); k++) {
    size_t len = strlen(kWords[k]);
    if (n - i < len) continue;
    size_t j = 0;
    for (; j < len; j++) {
      char c = s[i + j];
      if (c >= 'A' && c <= 'Z') c = (char)(c + 32);
      if (c != kWords[k][j]) break;
    }
    if (j == len && (i + len == n || is_space(s[i + len]))) return 1;
  }
  return 0;
}

static void map_line(Walk* w, const char* s, size_t n, char* scratch, ListLines* where) {
  static SetupList one;
  memcpy(scratch, s, n);
  scratch[n] = 0;
  Tokens t;
  if (starts_with(s, n, "tag ") || starts_with(s, n, "run ")) {
    int is_tag = s[0] == 't';
    parse_setup_list(scratch, &one);
    const char* value = is_tag ? one.tag : one.run;
    uint32_t* at = is_tag ? &where->tag_line : &where->run_line;
    const char* name = is_tag ? "tag" : "run";
    if (!value[0]) {
      notef(w, "this %s line has no value; the setup ignores it", name);
      return;
    }
    if (*at) {
      char earlier[32];
      FMT_CUT(earlier, "%" PRIu32, *at);
      notef(w, "a second %s line: the setup uses this one and ignores line %s", name, earlier);
    }
    *at = w->line;
    split_tokens(s + 4, n - 4, &t);
    const char* names[] = {name};
    const char* values[] = {value};
    compare_fields(w, &t, names, values, 1);
    return;
  }
  if (starts_with(s, n, "part ")) {
    if (where->part_count >= MAX_PARTS) {
      notef(w, "the setup reads at most %s part lines and ignores this one", "16");
      return;
    }
    parse_setup_list(scratch, &one);
    if (one.part_count != 1) {
      notef(w, "the setup drops this part line: it needs six fields (%s)",
            "sha256 size extract_to rename_from rename_to url");
      return;
    }
    where->part_line[where->part_count++] = w->line;
    const PartEntry* p = &one.parts[0];
    char size[24];
    FMT_CUT(size, "%" PRIu64, p->size);
    split_tokens(s + 5, n - 5, &t);
    const char* names[] = {"sha256", "size", "extract_to", "rename_from", "rename_to", "url"};
    const char* values[] = {p->sha256, size, p->extract_to, p->rename_from, p->rename_to, p->url};
    compare_fields(w, &t, names, values, 6);
    return;
  }
  if (near_keyword(s, n))
    notef(w, "%s", "the setup ignores this line: it reads only lines that begin with \"tag \", "
                   "\"run \" or \"part \" (lower case, at the very start, one space)");
}

int map_list_lines(const char* text, size_t len, ListLines* where, LineNote note, void* ctx) {
  memset(where, 0, sizeof *where);
  size_t end = 0;
  while (end < len && text[end]) end++;
  char* scratch = (char*)malloc(end + 1);
  if (!scratch) return 0;
  Walk w = {note, ctx, 1};
  // Some Windows editors begin a UTF-8 file with a byte order mark; the
  // setup takes it for the start of the first line.
  if (end >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0)
    notef(&w, "%s", "the file begins with a UTF-8 byte order mark, which the setup reads as part "
                    "of this line: save the list without it");
  size_t i = 0;
  while (i < end) {
    size_t start = i;
    while (i < end && text[i] != '\r' && text[i] != '\n') i++;
    if (i > start) map_line(&w, text + start, i - start, scratch, where);
    if (i < end) {
      // CR LF ends one line; a lone CR or LF ends one too.
      if (text[i] == '\r' && i + 1 < end && text[i + 1] == '\n') i++;
      i++;
      w.line++;
    }
  }
  free(scratch);
  if (end < len) {
    for (size_t k = end; k < len; k++) {
      if (text[k] != 0 && !is_space(text[k])) {
        notef(&w, "a zero byte ends the list here for the setup; it reads nothing after it%s", "");
        break;
      }
    }
  }
  return 1;
}
