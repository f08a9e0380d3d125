#include "setuplist/setup_list.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "net/setup_address.h"

// The field widths of the scan formats, tied to the buffers they fill: a
// width one too large would let a long token from the network write past
// its field.
#define TAG_WIDTH 127
#define PATH_WIDTH 259
#define SHA_WIDTH 64
#define URL_WIDTH 1023
#define STR_(x) #x
#define STR(x) STR_(x)
static_assert(sizeof(SetupList::tag) == TAG_WIDTH + 1, "tag width");
static_assert(sizeof(SetupList::run) == PATH_WIDTH + 1, "run width");
static_assert(sizeof(PartEntry::sha256) == SHA_WIDTH + 1, "sha256 width");
static_assert(sizeof(PartEntry::extract_to) == PATH_WIDTH + 1, "extract_to width");
static_assert(sizeof(PartEntry::rename_from) == PATH_WIDTH + 1, "rename_from width");
static_assert(sizeof(PartEntry::rename_to) == PATH_WIDTH + 1, "rename_to width");
static_assert(sizeof(PartEntry::url) == URL_WIDTH + 1, "url width");
static_assert(sizeof(SetupList::parts) / sizeof(PartEntry) == MAX_PARTS, "part slots");

static const char kTagFormat[] = "%" STR(TAG_WIDTH) "s";
static const char kRunFormat[] = "%" STR(PATH_WIDTH) "s";
// The size is the standard "%llu", spelt in the runtime's own words: the
// system msvcrt reads "ll" as "l" and would fill only 32 of the 64 bits.
static const char kPartFormat[] = "%" STR(SHA_WIDTH) "s %" SCNu64 " %" STR(PATH_WIDTH) "s %" STR(
    PATH_WIDTH) "s %" STR(PATH_WIDTH) "s %" STR(URL_WIDTH) "s";

const wchar_t* const kListUnreadableMessage =
    L"The release's setup list could not be read. Try again later.";
const wchar_t* const kListRejectedMessage =
    L"The release's setup list has a name this setup does not accept. Try again later.";
const wchar_t* const kTagMismatchMessage =
    L"GitHub answered with the setup list of %ls, not %ls (its download links can lag right "
    L"after a release). Try the update again in a few minutes.";

static int starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// One line, already cut out and terminated. Keywords match case-sensitively
// at the very start; every other line is ignored.
static void parse_line(const char* line, SetupList* list) {
  if (starts_with(line, "tag ")) {
    // On an empty value sscanf stores nothing, so an earlier tag stays.
    sscanf(line + 4, kTagFormat, list->tag);
  } else if (starts_with(line, "run ")) {
    sscanf(line + 4, kRunFormat, list->run);
  } else if (starts_with(line, "part ")) {
    if (list->part_count >= MAX_PARTS) return;
    PartEntry* p = &list->parts[list->part_count];
    int got = sscanf(line + 5, kPartFormat, p->sha256, &p->size, p->extract_to, p->rename_from,
                     p->rename_to, p->url);
    // A short line leaves its slot half written; the next part line
    // overwrites it, and slots past part_count are never read.
    if (got == 6) list->part_count++;
  }
}

void parse_setup_list(char* text, SetupList* list) {
  list->tag[0] = 0;
  list->run[0] = 0;
  list->part_count = 0;
  char* p = text;
  for (;;) {
    while (*p == '\r' || *p == '\n') p++;
    if (!*p) break;
    char* line = p;
    while (*p && *p != '\r' && *p != '\n') p++;
    // Terminating the line in place keeps sscanf inside it; the separator
    // that is overwritten is skipped anyway.
    int more = *p != 0;
    *p = 0;
    parse_line(line, list);
    if (!more) break;
    p++;
  }
}

static int name_byte_ok(unsigned char c, int allow_slashes) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return 1;
  if (c == '.' || c == '_' || c == '+' || c == '-') return 1;
  return allow_slashes && (c == '/' || c == '\\');
}

static int is_separator(char c, int allow_slashes) {
  return allow_slashes && (c == '/' || c == '\\');
}

int list_name_ok(const char* text, int allow_slashes) {
  // Everything from the list ends up inside a path below the version
  // directory: no drive, no root, no way up, no byte that Windows would
  // reinterpret (colons for streams, non-ASCII for code page mapping).
  if (!text[0] || text[0] == '/' || text[0] == '\\') return 0;
  for (const char* c = text; *c; c++)
    if (!name_byte_ok((unsigned char)*c, allow_slashes)) return 0;
  const char* seg = text;
  for (;;) {
    const char* end = seg;
    while (*end && !is_separator(*end, allow_slashes)) end++;
    size_t n = (size_t)(end - seg);
    if (n == 0 || (n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.'))
      return 0;
    if (!*end) return 1;
    seg = end + 1;
    if (!*seg) return 1;  // one trailing separator closes the last segment
  }
}

static int lower_ascii(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

static int https_scheme(const char* url) {
  static const char scheme[] = "https://";
  for (size_t i = 0; i + 1 < sizeof scheme; i++)
    if (lower_ascii((unsigned char)url[i]) != scheme[i]) return 0;  // stops at the NUL too
  return 1;
}

static int hex_digest_ok(const char* sha) {
  if (strlen(sha) != SHA_WIDTH) return 0;
  // Lowercase only: digests are compared as text with the computed hash
  // and with the lines of parts.txt.
  for (const char* c = sha; *c; c++)
    if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return 0;
  return 1;
}

static int part_ok(const PartEntry* p) {
  if (!hex_digest_ok(p->sha256)) return 0;
  if (!https_scheme(p->url)) return 0;
  if (strcmp(p->extract_to, ".") != 0 && !list_name_ok(p->extract_to, 1)) return 0;
  if (strcmp(p->rename_from, "-") != 0 && !list_name_ok(p->rename_from, 0)) return 0;
  if (strcmp(p->rename_to, "-") != 0 && !list_name_ok(p->rename_to, 0)) return 0;
  return 1;
}

ListVerdict check_setup_list(const SetupList* list) {
  // Presence first: a list that is missing pieces is unreadable whatever
  // the pieces it does have look like.
  if (!list->tag[0] || !list->run[0] || list->part_count == 0) return LIST_UNREADABLE;
  if (list->part_count > MAX_PARTS) return LIST_REJECTED;  // cannot happen after parsing
  if (!list_name_ok(list->tag, 0)) return LIST_REJECTED;
  if (!list_name_ok(list->run, 1)) return LIST_REJECTED;
  for (uint32_t i = 0; i < list->part_count; i++)
    if (!part_ok(&list->parts[i])) return LIST_REJECTED;
  return LIST_ACCEPTED;
}

int check_requested_tag(const SetupList* list, char requested[128]) {
  // A value that requested_tag rejected comes back empty and is not
  // checked: the address then named the latest release.
  requested_tag(requested);
  if (!requested[0]) return 0;
  return strcmp(requested, list->tag) != 0;
}
