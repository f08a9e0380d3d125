#include "net/setup_address.h"

#include <stdlib.h>

#include "base/bounds.h"
#include "base/cmdline.h"
#include "net/release_host.h"

static int tag_char_ok(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
         c == L'-' || c == L'.' || c == L'_';
}

void requested_tag(char out[128]) {
  out[0] = 0;
  long at = cmdline_find(L"--tag ");
  if (at < 0) return;
  const wchar_t* p = g_cmdline + at + 6;
  while (*p == L' ' || *p == L'"') p++;
  int n = 0;
  for (;; p++) {
    wchar_t c = *p;
    if (c == 0 || c == L' ' || c == L'"') break;
    if (n == 127) break;
    if (!tag_char_ok(c)) {
      n = 0;
      break;
    }
    out[n++] = (char)c;
  }
  out[n] = 0;
}

void build_list_address(const char* override_value, const char* tag, char out[1024]) {
  if (override_value && override_value[0]) {
    copy_cut(out, 1024, override_value);
  } else if (tag[0]) {
    fmt_cut(out, 1024, "%s%s/releases/download/%s/" SETUP_LIST_ASSET, RELEASE_HOST, REPOSITORY,
            tag);
  } else {
    fmt_cut(out, 1024, "%s%s/releases/latest/download/" SETUP_LIST_ASSET, RELEASE_HOST,
            REPOSITORY);
  }
}

const char* manifest_url() {
  static char u[1024];
  char tag[128];
  const char* override_value = getenv("TAMROCK_SETUP_LIST");
  requested_tag(tag);
  build_list_address(override_value, tag, u);
  return u;
}
