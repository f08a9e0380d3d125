#include "text_utf.h"

#include <stdint.h>

static const uint32_t kReplacement = 0xFFFD;

// Next code point of wide text; advances *i past it.
static uint32_t next_wide(const wchar_t* text, size_t* i) {
  uint32_t c = (uint32_t)text[*i];
  (*i)++;
  if (sizeof(wchar_t) > 2) return c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? kReplacement : c;
  c &= 0xFFFF;
  if (c >= 0xD800 && c <= 0xDBFF) {
    uint32_t low = (uint32_t)text[*i] & 0xFFFF;
    if (low >= 0xDC00 && low <= 0xDFFF) {
      (*i)++;
      return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    return kReplacement;
  }
  return c >= 0xDC00 && c <= 0xDFFF ? kReplacement : c;
}

int utf8_from_wide(const wchar_t* text, char* out, size_t cap) {
  if (cap == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; text[i];) {
    uint32_t c = next_wide(text, &i);
    char buf[4];
    size_t len;
    if (c < 0x80) {
      buf[0] = (char)c;
      len = 1;
    } else if (c < 0x800) {
      buf[0] = (char)(0xC0 | c >> 6);
      buf[1] = (char)(0x80 | (c & 0x3F));
      len = 2;
    } else if (c < 0x10000) {
      buf[0] = (char)(0xE0 | c >> 12);
      buf[1] = (char)(0x80 | (c >> 6 & 0x3F));
      buf[2] = (char)(0x80 | (c & 0x3F));
      len = 3;
    } else {
      buf[0] = (char)(0xF0 | c >> 18);
      buf[1] = (char)(0x80 | (c >> 12 & 0x3F));
      buf[2] = (char)(0x80 | (c >> 6 & 0x3F));
      buf[3] = (char)(0x80 | (c & 0x3F));
      len = 4;
    }
    // Cut before a character that does not fit whole: half a sequence
    // would print as garbage.
    if (len > cap - 1 - n) {
      out[n] = 0;
      return 0;
    }
    for (size_t k = 0; k < len; k++) out[n++] = buf[k];
  }
  out[n] = 0;
  return 1;
}

// Next code point of UTF-8 text; advances *i past it (one byte when malformed).
static uint32_t next_utf8(const unsigned char* s, size_t* i) {
  uint32_t c = s[*i];
  if (c < 0x80) {
    (*i)++;
    return c;
  }
  size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (len == 0 || c > 0xF4) {
    (*i)++;
    return kReplacement;
  }
  uint32_t cp = c & (0x7F >> len);
  for (size_t k = 1; k < len; k++) {
    unsigned char b = s[*i + k];  // a terminator stops this: it is no continuation byte
    if ((b & 0xC0) != 0x80) {
      (*i)++;
      return kReplacement;
    }
    cp = cp << 6 | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not characters.
  static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    (*i)++;
    return kReplacement;
  }
  *i += len;
  return cp;
}

int wide_from_utf8(const char* text, wchar_t* out, size_t cap) {
  if (cap == 0) return 0;
  const unsigned char* s = (const unsigned char*)text;
  size_t n = 0;
  for (size_t i = 0; s[i];) {
    uint32_t c = next_utf8(s, &i);
    size_t units = sizeof(wchar_t) == 2 && c >= 0x10000 ? 2 : 1;
    if (units > cap - 1 - n) {
      out[n] = 0;
      return 0;
    }
    if (units == 2) {
      out[n++] = (wchar_t)(0xD800 + ((c - 0x10000) >> 10));
      out[n++] = (wchar_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out[n++] = (wchar_t)c;
    }
  }
  out[n] = 0;
  return 1;
}
