#include "zip_dir.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "file_io.h"

#define EOCD_SIZE 22
#define EOCD_MAX_COMMENT 65535
#define ZIP64_LOCATOR_SIZE 20
#define ZIP64_EOCD_SIZE 56
#define CENTRAL_HEADER_SIZE 46
#define NAME_MAX_LEN 65535  // the name length field has 16 bits

static uint32_t le16(const unsigned char* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }
static uint64_t le64(const unsigned char* p) { return le32(p) | (uint64_t)le32(p + 4) << 32; }

static int read_at(FILE* f, uint64_t offset, void* buf, size_t len) {
  return seek_file(f, offset) && fread(buf, 1, len, f) == len;
}

struct Directory {
  uint64_t entries;
  uint64_t size;
  uint64_t offset;
  uint64_t end;  // where the record that describes the directory begins
};

// Finds the end record in the last 64 KiB and 22 bytes of the file. The
// record whose comment reaches exactly to the end of the file wins, so that
// signature bytes inside a comment are not taken for the record; failing
// that (bytes appended after the archive), the last one whose comment fits.
static ZipResult find_directory(FILE* f, uint64_t file_len, Directory* dir) {
  static unsigned char tail[EOCD_SIZE + EOCD_MAX_COMMENT];
  uint64_t tail_len = file_len < sizeof tail ? file_len : sizeof tail;
  uint64_t tail_at = file_len - tail_len;
  if (tail_len < EOCD_SIZE) return ZIP_NOT_ZIP;
  if (!read_at(f, tail_at, tail, (size_t)tail_len)) return ZIP_READ_FAILED;
  const unsigned char* rec = NULL;
  const unsigned char* fits = NULL;
  for (size_t i = (size_t)tail_len - EOCD_SIZE + 1; i-- > 0;) {
    if (le32(tail + i) != 0x06054b50) continue;
    uint64_t end = i + EOCD_SIZE + le16(tail + i + 20);
    if (end == tail_len) {
      rec = tail + i;
      break;
    }
    if (end < tail_len && !fits) fits = tail + i;
  }
  if (!rec) rec = fits;
  if (!rec) return ZIP_NOT_ZIP;
  uint64_t rec_at = tail_at + (uint64_t)(rec - tail);
  if (le16(rec + 4) != 0 || le16(rec + 6) != 0) return ZIP_SPANNED;
  dir->entries = le16(rec + 10);
  dir->size = le32(rec + 12);
  dir->offset = le32(rec + 16);
  dir->end = rec_at;
  if (le16(rec + 8) != dir->entries) return ZIP_SPANNED;
  if (dir->entries != 0xFFFF && dir->size != 0xFFFFFFFF && dir->offset != 0xFFFFFFFF)
    return ZIP_OK;

  // Too many entries or too large for the classic record: the real values
  // are in the zip64 record that a locator right before it points to.
  // Without a locator the classic values are meant as they stand (exactly
  // 65535 entries, say).
  unsigned char loc[ZIP64_LOCATOR_SIZE], z64[ZIP64_EOCD_SIZE];
  if (rec_at < ZIP64_LOCATOR_SIZE) return ZIP_OK;
  if (!read_at(f, rec_at - ZIP64_LOCATOR_SIZE, loc, sizeof loc)) return ZIP_READ_FAILED;
  if (le32(loc) != 0x07064b50) return ZIP_OK;
  if (le32(loc + 16) > 1) return ZIP_SPANNED;
  uint64_t z64_at = le64(loc + 8);
  if (z64_at > rec_at - ZIP64_LOCATOR_SIZE ||
      rec_at - ZIP64_LOCATOR_SIZE - z64_at < ZIP64_EOCD_SIZE)
    return ZIP_BAD_DIRECTORY;
  if (!read_at(f, z64_at, z64, sizeof z64)) return ZIP_READ_FAILED;
  if (le32(z64) != 0x06064b50) return ZIP_BAD_DIRECTORY;
  if (le32(z64 + 16) != 0 || le32(z64 + 20) != 0) return ZIP_SPANNED;
  if (le64(z64 + 24) != le64(z64 + 32)) return ZIP_SPANNED;
  dir->entries = le64(z64 + 32);
  dir->size = le64(z64 + 40);
  dir->offset = le64(z64 + 48);
  dir->end = z64_at;
  return ZIP_OK;
}

ZipResult zip_walk(const char* path, ZipVisit visit, void* ctx, uint64_t* entry_count) {
  static char name[NAME_MAX_LEN + 1];
  *entry_count = 0;
  FILE* f = open_file(path, "rb");
  if (!f) return ZIP_CANNOT_OPEN;
  ZipResult result = ZIP_READ_FAILED;
  uint64_t file_len = 0;
  Directory dir;
  uint64_t at, stop;
  if (!file_length(f, &file_len)) goto out;
  result = find_directory(f, file_len, &dir);
  if (result != ZIP_OK) goto out;
  // Compared in overflow-safe form: the values come from the file.
  result = ZIP_BAD_DIRECTORY;
  if (dir.offset > dir.end || dir.size > dir.end - dir.offset) goto out;
  // Each entry takes at least a fixed header: a count that cannot fit is a lie.
  if (dir.entries > dir.size / CENTRAL_HEADER_SIZE) goto out;
  *entry_count = dir.entries;
  at = dir.offset;
  stop = dir.offset + dir.size;
  if (!seek_file(f, at)) {
    result = ZIP_READ_FAILED;
    goto out;
  }
  for (uint64_t i = 0; i < dir.entries; i++) {
    unsigned char h[CENTRAL_HEADER_SIZE];
    if (stop - at < CENTRAL_HEADER_SIZE) goto out;
    if (fread(h, 1, sizeof h, f) != sizeof h) {
      result = ZIP_READ_FAILED;
      goto out;
    }
    if (le32(h) != 0x02014b50) goto out;
    uint32_t name_len = le16(h + 28);
    uint64_t rest = (uint64_t)name_len + le16(h + 30) + le16(h + 32);
    if (stop - at - CENTRAL_HEADER_SIZE < rest) goto out;
    if (fread(name, 1, name_len, f) != name_len) {
      result = ZIP_READ_FAILED;
      goto out;
    }
    name[name_len] = 0;
    at += CENTRAL_HEADER_SIZE + rest;
    // The extra field and comment are skipped by position, not read.
    if (rest > name_len && !seek_file(f, at)) {
      result = ZIP_READ_FAILED;
      goto out;
    }
    ZipEntry e = {name, name_len, (uint16_t)le16(h + 8), (uint16_t)le16(h + 10)};
    if (!visit(ctx, &e)) break;
  }
  result = ZIP_OK;
out:
  fclose(f);
  return result;
}

const char* zip_result_text(ZipResult result) {
  switch (result) {
    case ZIP_OK: return "no error";
    case ZIP_CANNOT_OPEN: return "cannot be opened";
    case ZIP_READ_FAILED: return "cannot be read";
    case ZIP_NOT_ZIP: return "is not a zip archive (no end of central directory record)";
    case ZIP_SPANNED: return "is a zip archive split over several disks, which tar cannot unpack";
    case ZIP_BAD_DIRECTORY: return "is a damaged zip archive (its central directory does not hold together)";
  }
  return "cannot be read";
}
