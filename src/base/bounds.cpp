#include "base/bounds.h"

#include <stdarg.h>
#include <stdio.h>

template <typename C>
static size_t copy_cut_any(C* dst, size_t cap, const C* src) {
  size_t i = 0;
  if (cap == 0) return 0;
  for (; i + 1 < cap && src[i]; i++) dst[i] = src[i];
  dst[i] = 0;
  return i;
}

size_t copy_cut(char* dst, size_t cap, const char* src) { return copy_cut_any(dst, cap, src); }

size_t copy_cut_w(wchar_t* dst, size_t cap, const wchar_t* src) {
  return copy_cut_any(dst, cap, src);
}

int fmt_cut(char* dst, size_t cap, const char* format, ...) {
  if (cap == 0) return 0;
  va_list ap;
  va_start(ap, format);
  // msvcrt returns -1 and leaves the text unterminated when it is cut;
  // C99 runtimes return the full length. Both are handled here.
  int n = vsnprintf(dst, cap, format, ap);
  va_end(ap);
  dst[cap - 1] = 0;
  if (n < 0) return 0;
  return (size_t)n < cap;
}
