#include "net/release_link.h"

#include <string.h>

#include "base/bounds.h"

// Copies [from, to) into dst when it is shorter than cap; 0 otherwise.
static int take(char* dst, size_t cap, const char* from, const char* to) {
  size_t n = (size_t)(to - from);
  if (n >= cap) return 0;
  memcpy(dst, from, n);
  dst[n] = 0;
  return 1;
}

int split_release_link(const char* link, const char* pre, ReleaseLink* out) {
  size_t pre_len = strlen(pre);
  if (strncmp(link, pre, pre_len) != 0) return 0;
  const char* repo = link + pre_len;
  const char* first = strchr(repo, '/');
  if (!first) return 0;
  const char* second = strchr(first + 1, '/');
  if (!second) return 0;
  if (!take(out->repo, sizeof out->repo, repo, second)) return 0;

  static const char kLatest[] = "/releases/latest/download/";
  static const char kTagged[] = "/releases/download/";
  const char* asset;
  if (strncmp(second, kLatest, sizeof kLatest - 1) == 0) {
    out->has_tag = 0;
    out->tag[0] = 0;
    asset = second + sizeof kLatest - 1;
  } else if (strncmp(second, kTagged, sizeof kTagged - 1) == 0) {
    const char* tag = second + sizeof kTagged - 1;
    const char* end = strchr(tag, '/');
    if (!end) return 0;
    if (!take(out->tag, sizeof out->tag, tag, end)) return 0;
    out->has_tag = 1;
    asset = end + 1;
  } else {
    return 0;
  }
  size_t n = strlen(asset);
  if (n == 0 || n >= sizeof out->asset || strpbrk(asset, "/?#")) return 0;
  memcpy(out->asset, asset, n + 1);
  return 1;
}

int release_api_address(const char* api_base, const ReleaseLink* link, char out[1024]) {
  if (link->has_tag)
    return fmt_cut(out, 1024, "%srepos/%s/releases/tags/%s", api_base, link->repo, link->tag);
  return fmt_cut(out, 1024, "%srepos/%s/releases/latest", api_base, link->repo);
}

static int json_space(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// From just after a key: white space, ':', white space, '"'. Returns the
// position after the quote, or null. Each step needs a byte after it.
static const char* value_start(const char* p, const char* end) {
  while (p < end && json_space(*p)) p++;
  if (p >= end || *p != ':' || p + 1 >= end) return nullptr;
  p++;
  while (p < end && json_space(*p)) p++;
  if (p >= end || *p != '"' || p + 1 >= end) return nullptr;
  return p + 1;
}

// Reads a string value up to its closing quote; a backslash takes the
// next byte literally. Keeps at most cap-1 bytes. Returns the position
// after the closing quote, or null when the body ends first.
static const char* read_value(const char* p, const char* end, char* dst, size_t cap) {
  size_t n = 0;
  while (p < end && *p != '"') {
    if (*p == '\\') {
      p++;
      if (p >= end) return nullptr;
    }
    if (n + 1 < cap) dst[n++] = *p;
    p++;
  }
  dst[n] = 0;
  if (p >= end) return nullptr;
  return p + 1;
}

static const char* find_bytes(const char* from, const char* end, const char* what, size_t n) {
  for (const char* p = from; p + n <= end; p++)
    if (*p == what[0] && memcmp(p, what, n) == 0) return p;
  return nullptr;
}

int find_asset_url(const char* body, uint64_t len, const char* asset, const char* api_base,
                   char out[1024]) {
  const char* end = body + len;
  // The body is searched as a NUL-terminated string: a NUL ends the search.
  const char* text_end = (const char*)memchr(body, 0, (size_t)len);
  if (!text_end) text_end = end;

  const char* match = nullptr;
  for (const char* key = find_bytes(body, text_end, "\"name\"", 6); key;
       key = find_bytes(key + 6, text_end, "\"name\"", 6)) {
    if (key + 6 >= end) break;  // nothing after the key
    const char* v = value_start(key + 6, end);
    if (!v) continue;
    char value[600];
    if (!read_value(v, end, value, sizeof value)) continue;
    if (strcmp(value, asset) == 0) {
      match = key;
      break;
    }
  }
  if (!match || match - body < 5) return 0;

  const char* url = nullptr;
  for (const char* p = body; p <= match - 5; p++)
    if (memcmp(p, "\"url\"", 5) == 0) url = p;
  if (!url) return 0;
  const char* v = value_start(url + 5, end);
  if (!v) return 0;
  if (!read_value(v, end, out, 1024)) return 0;
  return strncmp(out, api_base, strlen(api_base)) == 0;
}
