#include "file_io.h"

#include <stdlib.h>

#ifdef _WIN32
#include <wchar.h>

#include "text_utf.h"

// Long enough for the longest path Windows takes with the \\?\ prefix.
#define WIDE_PATH 32768

static int widen_path(const char* path, wchar_t* out, size_t cap) {
  // A path cut short would name some other file: refuse instead.
  return wide_from_utf8(path, out, cap);
}

FILE* open_file(const char* path, const char* mode) {
  static wchar_t wpath[WIDE_PATH];
  wchar_t wmode[8];
  if (!widen_path(path, wpath, WIDE_PATH) || !wide_from_utf8(mode, wmode, 8)) return NULL;
  return _wfopen(wpath, wmode);
}

int remove_file(const char* path) {
  static wchar_t wpath[WIDE_PATH];
  if (!widen_path(path, wpath, WIDE_PATH)) return 0;
  return _wremove(wpath) == 0;
}

int replace_file(const char* from, const char* to) {
  static wchar_t wfrom[WIDE_PATH], wto[WIDE_PATH];
  if (!widen_path(from, wfrom, WIDE_PATH) || !widen_path(to, wto, WIDE_PATH)) return 0;
  // msvcrt's rename refuses an existing target; the old list goes first.
  _wremove(wto);
  return _wrename(wfrom, wto) == 0;
}

int seek_file(FILE* f, uint64_t offset) {
  if (offset > (uint64_t)INT64_MAX) return 0;
  return _fseeki64(f, (__int64)offset, SEEK_SET) == 0;
}

int file_length(FILE* f, uint64_t* length) {
  if (_fseeki64(f, 0, SEEK_END) != 0) return 0;
  __int64 at = _ftelli64(f);
  if (at < 0) return 0;
  *length = (uint64_t)at;
  return 1;
}
#else
FILE* open_file(const char* path, const char* mode) { return fopen(path, mode); }

int remove_file(const char* path) { return remove(path) == 0; }

int replace_file(const char* from, const char* to) { return rename(from, to) == 0; }

int seek_file(FILE* f, uint64_t offset) {
  if (offset > (uint64_t)INT64_MAX) return 0;
  return fseeko(f, (off_t)offset, SEEK_SET) == 0;
}

int file_length(FILE* f, uint64_t* length) {
  if (fseeko(f, 0, SEEK_END) != 0) return 0;
  off_t at = ftello(f);
  if (at < 0) return 0;
  *length = (uint64_t)at;
  return 1;
}
#endif

ReadResult read_whole_file(const char* path, size_t max, char** data, size_t* length) {
  *data = NULL;
  *length = 0;
  FILE* f = open_file(path, "rb");
  if (!f) return READ_CANNOT_OPEN;
  ReadResult result = READ_FAILED;
  char* buf = NULL;
  uint64_t len = 0;
  if (!file_length(f, &len) || !seek_file(f, 0)) goto out;
  if (len > max) {
    result = READ_TOO_BIG;
    goto out;
  }
  buf = (char*)malloc((size_t)len + 1);
  if (!buf) goto out;
  // A short read is a failure: a list cut short could still parse.
  if (fread(buf, 1, (size_t)len, f) != (size_t)len) goto out;
  buf[len] = 0;
  *data = buf;
  *length = (size_t)len;
  buf = NULL;
  result = READ_OK;
out:
  free(buf);
  fclose(f);
  return result;
}

const char* path_file_name(const char* path) {
  const char* name = path;
  for (const char* c = path; *c; c++)
    if (*c == '/' || *c == '\\') name = c + 1;
  return name;
}
