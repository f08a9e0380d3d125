// What the fuzz targets hold the product code to. A broken promise aborts,
// so libFuzzer records the input as a crash just like a sanitizer report.
// Not assert(): these must also hold in optimised builds.
#pragma once
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                  \
    }                                                                           \
  } while (0)

// Separators of a relative path as the setup writes it on Windows.
inline bool fuzz_is_sep(unsigned c) { return c == '/' || c == '\\'; }

// True when [seg, seg+n) is "." or "..": a segment that names the folder
// itself or its parent, never a folder of the install. Works for narrow
// and wide text alike.
template <typename C>
bool fuzz_dot_segment(const C* seg, size_t n) {
  return (n == 1 && seg[0] == '.') || (n == 2 && seg[0] == '.' && seg[1] == '.');
}

// True when some segment of text (cut at '/' and '\') is "." or "..".
template <typename C>
bool fuzz_has_dot_segment(const C* text) {
  const C* seg = text;
  for (const C* p = text;; p++) {
    if (*p == 0 || fuzz_is_sep((unsigned)*p)) {
      if (fuzz_dot_segment(seg, (size_t)(p - seg))) return true;
      if (*p == 0) return false;
      seg = p + 1;
    }
  }
}
