#include "install/list_signature_win.h"

#include <windows.h>
#include <bcrypt.h>

#include <string.h>

#include "install/sha256_win.h"
#include "setuplist/list_keys.h"
#include "setuplist/list_signature.h"

// BCryptHash would do this in one call, but only from Windows 10 on.
static int sha256_of(const char* data, size_t len, UCHAR digest[32]) {
  Sha256 h;
  if (sha256_open(&h) != 0) return 0;
  // A list is far smaller than 4 GiB; a longer body is never verified.
  int fed = len <= 0xFFFFFFFFu && BCryptHashData(h.hash, (PUCHAR)data, (ULONG)len, 0) == 0;
  return sha256_finish(&h, digest) && fed;
}

// Wine's CNG accepts a longer signature and imports an off-curve point:
// lengths are settled before this, and only the verification decides.
static int verifies_with(BCRYPT_ALG_HANDLE alg, const uint8_t point[LIST_KEY_BYTES],
                         UCHAR digest[32], uint8_t sig[LIST_SIG_BYTES]) {
  struct {
    BCRYPT_ECCKEY_BLOB head;
    UCHAR xy[LIST_KEY_BYTES - 1];
  } blob;
  static_assert(sizeof blob == sizeof(BCRYPT_ECCKEY_BLOB) + 64, "blob without padding");
  blob.head.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  blob.head.cbKey = 32;
  memcpy(blob.xy, point + 1, sizeof blob.xy);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (BCryptImportKeyPair(alg, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, (PUCHAR)&blob, sizeof blob,
                          0) != 0)
    return 0;
  int ok = BCryptVerifySignature(key, nullptr, digest, 32, sig, LIST_SIG_BYTES, 0) == 0;
  BCryptDestroyKey(key);
  return ok;
}

int list_signed_by_makers(const char* body, size_t len) {
  int keys = 0;
  for (const char* k : g_list_keys) keys += k[0] != 0;
  if (keys == 0) return 1;

  size_t signed_len = 0;
  uint8_t sig[LIST_SIG_BYTES];
  UCHAR digest[32];
  if (!body || find_list_signature(body, len, &signed_len, sig) != LIST_SIG_FOUND) return 0;
  if (!sha256_of(body, signed_len, digest)) return 0;
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return 0;
  int ok = 0;
  for (const char* k : g_list_keys) {
    uint8_t point[LIST_KEY_BYTES];
    if (k[0] && decode_list_key(k, point) && verifies_with(alg, point, digest, sig)) ok = 1;
    if (ok) break;
  }
  BCryptCloseAlgorithmProvider(alg, 0);
  return ok;
}
