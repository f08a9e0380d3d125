// The few GitHub release API calls that publish makes, over http_client
// with JSON through jansson (native build only). Every address after the
// first comes from GitHub's own answers (the release's url, assets_url and
// upload_url, each asset's url), never from a host the tool assumes.
// Failures are worded here, once, on stderr, with GitHub's own message.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct GhAsset {
  long long id;
  char name[256];
  uint64_t size;
  int uploaded;       // state "uploaded"; a cut upload leaves "starter"
  char url[1024];
};

struct GhRelease {
  int found;
  int draft;
  long long id;
  char url[1024];
  char assets_url[1024];
  char upload_url[1024];  // without its {?name,label} template
};

enum GhResult {
  GH_OK,
  GH_FAILED,  // worded on stderr
  GH_AGAIN,   // a write met a passing trouble; try the round again after g_gh_wait
};

// Seconds that the last GH_AGAIN asks to wait.
extern long g_gh_wait;

// The release of tag: the published one when there is one, else the first
// draft. A draft is not found through releases/tags/TAG, so the list of
// releases is read when that answers 404. found is 0 when there is neither.
GhResult gh_find_release(const char* api_base, const char* repo, const char* tag, GhRelease* out);
// A new draft of tag. notes may be null.
GhResult gh_create_draft(const char* api_base, const char* repo, const char* tag,
                         const char* title, const char* notes, GhRelease* out);
// The release's assets, at most cap of them (more fail).
GhResult gh_list_assets(const GhRelease* rel, GhAsset* out, size_t cap, size_t* count);
GhResult gh_delete_asset(const GhAsset* a);
// Uploads the file at path as name. attempt counts the round, so that a
// transient answer is waited out for longer each time.
GhResult gh_upload_asset(const GhRelease* rel, const char* name, const char* path,
                         unsigned attempt);
// The SHA-256 and size of what GitHub serves for the asset.
GhResult gh_asset_digest(const GhAsset* a, char hex[65], uint64_t* size);
// Publishes the draft and makes it the latest release.
GhResult gh_publish(const GhRelease* rel, const char* tag, const char* title, const char* notes,
                    unsigned attempt);
