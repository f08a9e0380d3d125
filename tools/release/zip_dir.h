// The entry list of a zip archive, from its end-of-central-directory record
// and central directory (zip64 included). Nothing is decompressed.
#pragma once
#include <stdint.h>

struct ZipEntry {
  const char* name;   // as stored, terminated; valid during the visit only
  uint32_t name_len;  // stored length: more than strlen(name) when it holds a zero byte
  uint16_t flags;     // general purpose bits (bit 0: encrypted)
  uint16_t method;    // compression method (0 stored, 8 deflated)
};

// Returns nonzero to go on with the next entry, zero to stop the walk.
typedef int (*ZipVisit)(void* ctx, const ZipEntry* entry);

enum ZipResult {
  ZIP_OK,
  ZIP_CANNOT_OPEN,     // errno says why
  ZIP_READ_FAILED,
  ZIP_NOT_ZIP,         // no end-of-central-directory record
  ZIP_SPANNED,         // split over several disks
  ZIP_BAD_DIRECTORY,   // the central directory does not hold together
};

// Visits every central-directory entry of the zip at path, in stored order,
// and gives the number of entries the archive declares. A walk stopped by
// the visitor still gives ZIP_OK.
ZipResult zip_walk(const char* path, ZipVisit visit, void* ctx, uint64_t* entry_count);

// A short English description of a result other than ZIP_OK.
const char* zip_result_text(ZipResult result);
