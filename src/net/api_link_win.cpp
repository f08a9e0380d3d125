// Fallback from a release download link to the release API's asset link.
#include "net/api_link_win.h"

#include "base/bounds.h"
#include "net/http_win.h"
#include "net/release_host.h"
#include "net/release_link.h"

int api_link_for(const char* link, char out[1024]) {
  ReleaseLink parts;
  if (!split_release_link(link, RELEASE_HOST, &parts)) return 0;
  return api_asset_url(parts.repo, parts.has_tag ? parts.tag : nullptr, parts.asset, out);
}

int api_asset_url(const char* repo, const char* tag, const char* asset, char out[1024]) {
  ReleaseLink parts = {};
  COPY_CUT(parts.repo, repo);
  if (tag) {
    COPY_CUT(parts.tag, tag);
    parts.has_tag = 1;
  }
  char address[1024];
  // An address that does not fit is not asked for at all.
  if (!release_api_address(API_BASE, &parts, address)) return 0;
  MemBuffer json = {};
  int ok = http_get(address, mem_sink, &json, 0, L"application/vnd.github+json") && json.data &&
           find_asset_url(json.data, json.len, asset, API_BASE, out);
  mem_free(&json);
  return ok;
}
