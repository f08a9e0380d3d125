// Release download links and the release API's JSON, as plain text.
// No Windows header: also built natively for fuzzing and host tools.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct ReleaseLink {
  char repo[256];   // owner "/" repository
  char tag[256];    // empty for the latest form
  int has_tag;      // 1 for the tag form
  char asset[260];  // 1 to 259 bytes, no '/', '?', '#'
};

// Splits a release download link that begins with the host base pre.
// Returns 1 when it has one of the two forms and every piece fits.
int split_release_link(const char* link, const char* pre, ReleaseLink* out);

// The release API address for the link's release, into out (1024 bytes).
// Returns 1 when it fitted.
int release_api_address(const char* api_base, const ReleaseLink* link, char out[1024]);

// Scans a release JSON body for the asset named asset and copies the
// "url" nearest before its "name" into out (1024 bytes). Returns 1 when
// found and the url begins with api_base.
int find_asset_url(const char* body, uint64_t len, const char* asset, const char* api_base,
                   char out[1024]);
