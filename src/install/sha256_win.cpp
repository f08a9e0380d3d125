#include "install/sha256_win.h"

#include <string.h>

LONG sha256_open(Sha256* h) {
  h->alg = nullptr;
  h->hash = nullptr;
  LONG st = BCryptOpenAlgorithmProvider(&h->alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (st != 0) {
    h->alg = nullptr;
    return st;
  }
  st = BCryptCreateHash(h->alg, &h->hash, nullptr, 0, nullptr, 0, 0);
  if (st != 0) {
    BCryptCloseAlgorithmProvider(h->alg, 0);
    h->alg = nullptr;
    h->hash = nullptr;
  }
  return st;
}

int sha256_finish(Sha256* h, unsigned char digest[32]) {
  int ok = h->hash && BCryptFinishHash(h->hash, digest, 32, 0) == 0;
  if (h->hash) BCryptDestroyHash(h->hash);
  if (h->alg) BCryptCloseAlgorithmProvider(h->alg, 0);
  h->hash = nullptr;
  h->alg = nullptr;
  return ok;
}

void sha256_close(Sha256* h, char hex[65]) {
  memset(hex, 0, 65);
  UCHAR digest[32];
  if (!sha256_finish(h, digest)) return;
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 32; i++) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
}

// Worker thread only: one block for every file hashed from the disk.
static BYTE block[1 << 20];

int sha256_feed_file(Sha256* h, HANDLE f, uint64_t count) {
  while (count) {
    DWORD want = count < sizeof block ? (DWORD)count : (DWORD)sizeof block, got = 0;
    if (!ReadFile(f, block, want, &got, nullptr) || got != want) return 0;
    if (BCryptHashData(h->hash, block, got, 0) != 0) return 0;
    count -= got;
  }
  return 1;
}

int file_sha256(const wchar_t* path, char hex[65]) {
  memset(hex, 0, 65);
  Sha256 h;
  if (sha256_open(&h) != 0) return 0;
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    char ignored[65];
    sha256_close(&h, ignored);
    return 0;
  }
  for (;;) {
    DWORD got = 0;
    // A failed read leaves the digest of what came before; it won't match.
    if (!ReadFile(f, block, sizeof block, &got, nullptr) || got == 0) break;
    if (BCryptHashData(h.hash, block, got, 0) != 0) break;
  }
  CloseHandle(f);
  sha256_close(&h, hex);
  return hex[0] != 0;
}
