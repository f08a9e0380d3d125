// Fallback from a release download link to the release API's asset link.
#pragma once

// Turns a release download link into its API asset link (out: 1024 bytes).
// Makes one request to the release API. Returns 1 on success; out is
// meaningful only then.
int api_link_for(const char* link, char out[1024]);

// Looks up the asset in the release's JSON (tag null for the latest).
int api_asset_url(const char* repo, const char* tag, const char* asset, char out[1024]);
