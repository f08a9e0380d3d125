// SHA-256 through Windows' CNG provider.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <stdint.h>

struct Sha256 {
  BCRYPT_ALG_HANDLE alg;
  BCRYPT_HASH_HANDLE hash;
};

// Opens the provider and a hash object. Returns the NTSTATUS (0 = ready);
// on failure nothing is left open.
LONG sha256_open(Sha256* h);

// Finishes into digest and closes both handles. Returns nonzero when the
// digest was made.
int sha256_finish(Sha256* h, unsigned char digest[32]);

// Finishes into hex (64 lowercase digits and a NUL) and closes both
// handles. hex is cleared first; it stays empty when finishing fails.
void sha256_close(Sha256* h, char hex[65]);

// Feeds the next count bytes of the open file f to h's hash: the bytes a
// download resumes after are hashed from the disk, never taken on trust.
// Returns nonzero when all count bytes were read and hashed.
int sha256_feed_file(Sha256* h, HANDLE f, uint64_t count);

// Digest of a whole file through a static 1 MiB buffer (worker thread
// only). Returns nonzero with hex filled, zero when the provider or the
// file cannot be opened.
int file_sha256(const wchar_t* path, char hex[65]);
