#include "base/base64.h"

static const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64_encode(const uint8_t* bytes, size_t len, char* out, size_t cap) {
  size_t need = (len + 2) / 3 * 4;
  if (need >= cap) return 0;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 3) {
    uint32_t v = (uint32_t)bytes[i] << 16;
    if (i + 1 < len) v |= (uint32_t)bytes[i + 1] << 8;
    if (i + 2 < len) v |= bytes[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < len ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = i + 2 < len ? kAlphabet[v & 63] : '=';
  }
  out[o] = 0;
  return o;
}

static int digit_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int base64_decode_exact(const char* text, size_t len, uint8_t* out, size_t out_len) {
  if (len != (out_len + 2) / 3 * 4) return 0;
  size_t tail = out_len % 3;  // bytes in the last group: 0 means a full one
  size_t pad = tail == 0 ? 0 : 3 - tail;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 4) {
    int last = i + 4 == len;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; k++) {
      char c = text[i + k];
      if (last && k >= 4 - pad) {
        if (c != '=') return 0;
        v <<= 6;
        continue;
      }
      int d = digit_value(c);
      if (d < 0) return 0;
      v = (v << 6) | (uint32_t)d;
    }
    // Bits beyond the last byte must be zero: one value, one spelling.
    if (last && pad && (v & ((1u << (8 * pad)) - 1)) != 0) return 0;
    uint8_t group[3] = {(uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
    for (size_t k = 0; k < 3 && o < out_len; k++) out[o++] = group[k];
  }
  return 1;
}
