// The entries of a zip archive as libarchive reads them: the library whose
// bsdtar is Windows' tar.exe, so the tool sees a part as it is unpacked on
// the user's machine (names with '\' kept as stored, links and encryption
// as tar finds them, damage where tar would stop).
#pragma once
#include <stddef.h>
#include <stdint.h>

enum ZipEntryType { ZIP_FILE, ZIP_DIR, ZIP_LINK, ZIP_OTHER };

struct ZipEntry {
  const char* name;    // UTF-8, as libarchive gives it; valid during the visit only
  ZipEntryType type;   // ZIP_LINK: a symbolic link, or a hard link to another entry
  int encrypted;
  int stored_or_deflated;
};

// Returns nonzero to go on with the next entry, zero to stop the walk.
typedef int (*ZipVisit)(void* ctx, const ZipEntry* entry);

// Visits every entry of the zip at path (a UTF-8 path), in stored order.
// With read_contents, each visited entry's data is also unpacked in memory
// and checked (CRC, sizes, truncation) the way tar checks it, and a walk
// that reached the end fails when a name is stored in a code page rather
// than in UTF-8 (tar gives it other letters on other machines). Gives the
// number of entries visited. Returns nonzero when the walk reached the end
// or the visitor stopped it; otherwise zero with why in English, beginning
// with a verb phrase ("is not a zip archive ...", "cannot be read: ...").
int zip_walk(const char* path, int read_contents, ZipVisit visit, void* ctx, uint64_t* count,
             char* why, size_t why_cap);
