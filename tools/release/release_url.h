// Part addresses: formed from a base address and an archive's file name,
// and held against the release they belong to.
#pragma once
#include <stddef.h>

// base, one '/', then name. Returns nonzero when it fitted into out.
int join_part_url(const char* base, const char* name, char* out, size_t cap);

// The file name of an address: after its last '/' (the whole address when
// it has none), the same cut the setup makes for tool folders.
const char* url_file_name(const char* url);

// Nonzero when two asset names would clash: the setup's downloads folder
// on Windows does not tell letter case apart.
int asset_names_clash(const char* a, const char* b);

// Why a part's address cannot belong to the release tagged tag, or null.
// A GitHub release download link names its release: one of another tag
// would fetch that release's archive (wrong checksum, or gone once that
// release is deleted), and a "latest" link changes under the list with the
// next release, so installs of an older tag would fail.
const char* url_release_fault(const char* url, const char* tag);
