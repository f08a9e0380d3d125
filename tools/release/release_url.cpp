#include "release_url.h"

#include <string.h>

#include "base/bounds.h"

int join_part_url(const char* base, const char* name, char* out, size_t cap) {
  size_t len = strlen(base);
  const char* sep = len > 0 && base[len - 1] == '/' ? "" : "/";
  return fmt_cut(out, cap, "%s%s%s", base, sep, name);
}

const char* url_file_name(const char* url) {
  const char* slash = strrchr(url, '/');
  return slash ? slash + 1 : url;
}

int asset_names_clash(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    int x = *a >= 'A' && *a <= 'Z' ? *a + 32 : *a;
    int y = *b >= 'A' && *b <= 'Z' ? *b + 32 : *b;
    if (x != y) return 0;
  }
  return *a == *b;
}

const char* url_release_fault(const char* url, const char* tag) {
  if (strstr(url, "/releases/latest/download/"))
    return "is a \"latest\" download link, which points at the next release once there is one";
  const char* at = strstr(url, "/releases/download/");
  if (!at) return NULL;
  at += strlen("/releases/download/");
  const char* end = strchr(at, '/');
  size_t n = end ? (size_t)(end - at) : strlen(at);
  if (n != strlen(tag) || strncmp(at, tag, n) != 0)
    return "is a download link of another release than the list's tag";
  return NULL;
}
