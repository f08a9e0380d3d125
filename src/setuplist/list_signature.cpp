#include "setuplist/list_signature.h"

#include <string.h>

#include "base/base64.h"

ListSignature find_list_signature(const char* body, size_t len, size_t* signed_len,
                                  uint8_t sig[LIST_SIG_BYTES]) {
  size_t end = len;
  while (end > 0 && (body[end - 1] == '\r' || body[end - 1] == '\n')) end--;
  size_t start = end;
  while (start > 0 && body[start - 1] != '\r' && body[start - 1] != '\n') start--;
  const char* line = body + start;
  size_t n = end - start;
  if (n < 3 || memcmp(line, "sig", 3) != 0) return LIST_SIG_NONE;
  if (n != 4 + LIST_SIG_TEXT || line[3] != ' ' ||
      !base64_decode_exact(line + 4, LIST_SIG_TEXT, sig, LIST_SIG_BYTES))
    return LIST_SIG_MALFORMED;
  *signed_len = start;
  return LIST_SIG_FOUND;
}

int decode_list_key(const char* text, uint8_t key[LIST_KEY_BYTES]) {
  return strlen(text) == LIST_KEY_TEXT && base64_decode_exact(text, LIST_KEY_TEXT, key, LIST_KEY_BYTES) &&
         key[0] == 0x04;
}
