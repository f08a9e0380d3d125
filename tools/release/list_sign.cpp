#include "list_sign.h"

#include "base/base64.h"
#include "key_crypto.h"

SigCheck check_list_signature(const char* text, size_t len, const char* const* keys,
                              int key_count, int* which) {
  size_t signed_len = 0;
  uint8_t sig[LIST_SIG_BYTES];
  ListSignature found = find_list_signature(text, len, &signed_len, sig);
  if (found == LIST_SIG_NONE) return SIG_UNSIGNED;
  if (found == LIST_SIG_MALFORMED) return SIG_MALFORMED;
  if (key_count == 0) return SIG_VERIFIED;
  for (int i = 0; i < key_count; i++) {
    uint8_t point[LIST_KEY_BYTES];
    if (!decode_list_key(keys[i], point)) continue;
    int v = point_verifies(point, text, signed_len, sig);
    if (v < 0) return SIG_UNAVAILABLE;
    if (v) {
      *which = i;
      return SIG_VERIFIED;
    }
  }
  return SIG_NOT_VERIFIED;
}

const char* sig_check_words(SigCheck c) {
  switch (c) {
    case SIG_VERIFIED: return "is signed";
    case SIG_UNSIGNED: return "is not signed (it does not end in a \"sig \" line)";
    case SIG_MALFORMED:
      return "ends in a \"sig\" line that is not \"sig \" and the base64 of a 64-byte signature, "
             "with nothing after it but line ends";
    case SIG_NOT_VERIFIED: return "is signed, but by none of the keys given";
    case SIG_UNAVAILABLE: return kNoKeyCrypto ? kNoKeyCrypto : "";
  }
  return "";
}

int sign_list_text(const char* key_file, const char* text, size_t len,
                   char line[LIST_SIG_LINE_CAP], char* why, size_t why_cap) {
  uint8_t sig[LIST_SIG_BYTES];
  if (!key_file_sign(key_file, text, len, sig, why, why_cap)) return 0;
  line[0] = 's', line[1] = 'i', line[2] = 'g', line[3] = ' ';
  size_t n = base64_encode(sig, sizeof sig, line + 4, LIST_SIG_LINE_CAP - 5);
  line[4 + n] = '\n';
  line[5 + n] = 0;
  return n == LIST_SIG_TEXT;
}

int list_key_of_file(const char* key_file, char out[LIST_KEY_TEXT + 1], char* why, size_t why_cap) {
  uint8_t point[LIST_KEY_BYTES];
  if (!key_file_point(key_file, point, why, why_cap)) return 0;
  return base64_encode(point, sizeof point, out, LIST_KEY_TEXT + 1) == LIST_KEY_TEXT;
}
