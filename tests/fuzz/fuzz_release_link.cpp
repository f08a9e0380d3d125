// The two plain halves of api_link_for: taking a release download link
// apart, and scanning the release API's JSON for the asset's "url". The
// input is the link up to its first line feed, then the body as the
// release API would send it. The body is handed over with its exact
// length and no terminator, so a read past its end is caught.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "net/release_host.h"
#include "net/release_link.h"

namespace {

// The pieces put back together must give the link again: nothing of the
// link is lost or invented by the split.
void check_pieces(const std::string& link, const ReleaseLink& r) {
  FUZZ_CHECK(memchr(r.repo, 0, sizeof r.repo) && memchr(r.tag, 0, sizeof r.tag) &&
             memchr(r.asset, 0, sizeof r.asset));
  const char* slash = strchr(r.repo, '/');
  FUZZ_CHECK(slash && !strchr(slash + 1, '/'));  // owner "/" repository
  FUZZ_CHECK(r.has_tag == 0 || r.has_tag == 1);
  FUZZ_CHECK(!strchr(r.tag, '/'));
  if (!r.has_tag) FUZZ_CHECK(r.tag[0] == 0);
  size_t asset = strlen(r.asset);
  FUZZ_CHECK(asset >= 1 && asset <= 259);
  FUZZ_CHECK(!strpbrk(r.asset, "/?#"));

  std::string again = std::string(RELEASE_HOST) + r.repo;
  again += r.has_tag ? std::string("/releases/download/") + r.tag + "/"
                     : std::string("/releases/latest/download/");
  again += r.asset;
  FUZZ_CHECK(again == link);
}

void check_api_address(const ReleaseLink& r) {
  char address[1024];
  memset(address, 'Z', sizeof address);
  int fitted = release_api_address(API_BASE, &r, address);
  FUZZ_CHECK(memchr(address, 0, sizeof address));
  std::string start = std::string(API_BASE) + "repos/";
  // Even cut, the address stays on the release API.
  FUZZ_CHECK(strncmp(address, start.c_str(), start.size()) == 0);
  if (fitted) {
    std::string whole = start + r.repo + (r.has_tag ? std::string("/releases/tags/") + r.tag
                                                    : std::string("/releases/latest"));
    FUZZ_CHECK(whole == address);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* nl = (const uint8_t*)memchr(data, '\n', size);
  const uint8_t* body = nl ? nl + 1 : data + size;
  // A zero byte in the link ends it, as it would in the C string.
  std::string link((const char*)data, (size_t)((nl ? nl : data + size) - data));
  link = link.c_str();

  ReleaseLink r;
  memset(&r, 0xA5, sizeof r);
  int split = split_release_link(link.c_str(), RELEASE_HOST, &r);
  FUZZ_CHECK(split == 0 || split == 1);
  if (!split) return 0;  // api_link_for asks for nothing then
  check_pieces(link, r);
  check_api_address(r);

  size_t len = (size_t)(data + size - body);
  char out[1024];
  memset(out, 'Z', sizeof out);
  int found = find_asset_url((const char*)body, len, r.asset, API_BASE, out);
  FUZZ_CHECK(found == 0 || found == 1);
  if (found) {
    // The setup then downloads from this address: it must be a terminated
    // text on the release API, never a host the body chose.
    FUZZ_CHECK(memchr(out, 0, sizeof out));
    FUZZ_CHECK(strncmp(out, API_BASE, strlen(API_BASE)) == 0);
    // It came from the body: its first byte is in there somewhere.
    FUZZ_CHECK(memchr(body, out[0], len));
  }
  return 0;
}
