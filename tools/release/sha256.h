// SHA-256 in portable C++, for hashing release archives on any host.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct Sha256 {
  uint32_t state[8];
  uint64_t total;         // bytes fed so far
  uint8_t block[64];      // pending bytes of the current block
  uint32_t block_len;
};

void sha256_init(Sha256* h);
void sha256_update(Sha256* h, const void* data, size_t len);
// Finishes the digest: 32 raw bytes. The context must be initialised again
// before reuse.
void sha256_final(Sha256* h, uint8_t digest[32]);
// 64 lowercase hexadecimal digits and a terminator: the form the setup list
// and the setup's own hashing use.
void sha256_hex(const uint8_t digest[32], char out[65]);
