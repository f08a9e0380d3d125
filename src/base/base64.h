// Base64 of the standard alphabet with padding. No Windows header.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Encodes len bytes into out (cap bytes), terminated. Returns the text's
// length, or 0 when it would not fit.
size_t base64_encode(const uint8_t* bytes, size_t len, char* out, size_t cap);

// Decodes text (len bytes) only when it is the one canonical base64 of
// exactly out_len bytes: length, alphabet, padding and the unused low bits
// all checked. Returns nonzero with out filled; zero leaves out undefined.
int base64_decode_exact(const char* text, size_t len, uint8_t* out, size_t out_len);
