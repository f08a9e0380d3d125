// The Windows build of the tool: libcrypto is not part of it, and the
// setup's own check is the one that matters on Windows.
#include "key_crypto.h"

#include "base/bounds.h"

const char* const kNoKeyCrypto =
    "cannot be checked by the Windows build of brisquel-release: signing and signature checks "
    "are in the Linux build, or done by hand with openssl (see the README)";

int key_file_point(const char*, uint8_t*, char* why, size_t why_cap) {
  fmt_cut(why, why_cap, "the Windows build of brisquel-release cannot read keys: use the Linux "
                        "build, or openssl (see the README)");
  return 0;
}

int key_file_sign(const char* key_file, const void*, size_t, uint8_t*, char* why, size_t why_cap) {
  uint8_t point[LIST_KEY_BYTES];
  return key_file_point(key_file, point, why, why_cap);
}

int point_verifies(const uint8_t*, const void*, size_t, const uint8_t*) { return -1; }
