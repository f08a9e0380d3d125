// --tag on any command line. The argument text arrives as UTF-16: the
// input is read as little-endian units (pairs of bytes) and widened into
// wchar_t. The tag becomes part of the setup list's address, so it must
// stay a short run of plain characters, and the address built from it
// must be a release download link that splits back into the same tag.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "base/cmdline.h"
#include "fuzz_check.h"
#include "net/release_host.h"
#include "net/release_link.h"
#include "net/setup_address.h"

namespace {

bool tag_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_';
}

size_t cmdline_len() { return wcsnlen(g_cmdline, 2048); }

// A non-empty tag is what follows the first "--tag " and its blanks and
// quotes, unit for unit.
void check_tag_source(const char* tag) {
  long at = cmdline_find(L"--tag ");
  FUZZ_CHECK(at >= 0);
  const wchar_t* p = g_cmdline + at + 6;
  while (*p == L' ' || *p == L'"') p++;
  for (size_t i = 0; tag[i]; i++) FUZZ_CHECK(p[i] == (wchar_t)(unsigned char)tag[i]);
}

// Without an override the setup list's address is a release download
// link for the setup list of the tag, or of the latest release when the
// tag is empty: the fallback to the release API depends on it.
void check_address(const char* tag) {
  const char* address = manifest_url();
  FUZZ_CHECK(memchr(address, 0, 1024));
  ReleaseLink r;
  FUZZ_CHECK(split_release_link(address, RELEASE_HOST, &r) == 1);
  FUZZ_CHECK(strcmp(r.repo, REPOSITORY) == 0);
  FUZZ_CHECK(strcmp(r.asset, SETUP_LIST_ASSET) == 0);
  FUZZ_CHECK(r.has_tag == (tag[0] != 0));
  if (r.has_tag) FUZZ_CHECK(strcmp(r.tag, tag) == 0);
}

// An override is taken as it is, cut to 1023 bytes; an empty one is unset.
void check_override(const std::string& value, const char* tag) {
  char address[1024];
  memset(address, 'Z', sizeof address);
  build_list_address(value.c_str(), tag, address);
  FUZZ_CHECK(memchr(address, 0, sizeof address));
  if (value.empty()) return;
  FUZZ_CHECK(value.compare(0, 1023, address) == 0);
}

}  // namespace

// The override comes from the environment; manifest_url is fuzzed without it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("TAMROCK_SETUP_LIST");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<wchar_t> units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back((wchar_t)(data[i] | data[i + 1] << 8));
  units.push_back(0);
  set_cmdline(units.data());
  FUZZ_CHECK(g_cmdline[2047] == 0);

  // The install driver cuts --repair out before anything reads --tag.
  size_t before = cmdline_len();
  int cut = cmdline_cut(L"--repair");
  FUZZ_CHECK(cmdline_len() == (cut ? before - 8 : before));
  FUZZ_CHECK(g_cmdline[2047] == 0);

  char tag[128];
  memset(tag, 'Z', sizeof tag);
  requested_tag(tag);
  size_t n = strnlen(tag, sizeof tag);
  FUZZ_CHECK(n <= 127);
  for (size_t i = 0; i < n; i++) FUZZ_CHECK(tag_byte(tag[i]));
  if (n) check_tag_source(tag);

  check_address(tag);
  // The same bytes as the narrow value of TAMROCK_SETUP_LIST.
  std::string value((const char*)data, size);
  check_override(value.c_str(), tag);
  return 0;
}
