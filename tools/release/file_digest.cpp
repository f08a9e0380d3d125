#include "file_digest.h"

#include <errno.h>
#include <stdio.h>

#include "file_io.h"
#include "sha256.h"

int hash_file(const char* path, char hex[65], uint64_t* size) {
  static unsigned char buf[256 * 1024];
  FILE* f = open_file(path, "rb");
  if (!f) return 0;
  Sha256 h;
  sha256_init(&h);
  uint64_t total = 0;
  int ok = 1;
  int err = 0;
  for (;;) {
    size_t got = fread(buf, 1, sizeof buf, f);
    sha256_update(&h, buf, got);
    total += got;
    if (got < sizeof buf) {
      // The size written into the list is the count of hashed bytes, so a
      // read error must not pass as the end of the file.
      if (ferror(f)) {
        err = errno ? errno : EIO;
        ok = 0;
      }
      break;
    }
  }
  fclose(f);
  if (!ok) {
    errno = err;  // the caller words the message from the read's error
    return 0;
  }
  uint8_t digest[32];
  sha256_final(&h, digest);
  sha256_hex(digest, hex);
  *size = total;
  return 1;
}
