// ECDSA P-256 with SHA-256 for setup list signatures: OpenSSL's libcrypto
// natively (key_crypto_openssl.cpp); the Windows build of the tool has
// none (key_crypto_absent.cpp) and says so.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/list_signature.h"

// Null when this build can sign and verify; else why it cannot.
extern const char* const kNoKeyCrypto;

// The public point (04 || X || Y) of the P-256 private key in a PEM file.
int key_file_point(const char* key_file, uint8_t point[LIST_KEY_BYTES], char* why, size_t why_cap);

// r || s of the signature of SHA-256(data) with that key.
int key_file_sign(const char* key_file, const void* data, size_t len, uint8_t sig[LIST_SIG_BYTES],
                  char* why, size_t why_cap);

// 1 when sig is a signature of SHA-256(data) by point, 0 when not (an
// off-curve point included), -1 when this build cannot tell.
int point_verifies(const uint8_t point[LIST_KEY_BYTES], const void* data, size_t len,
                   const uint8_t sig[LIST_SIG_BYTES]);
