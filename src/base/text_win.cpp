#include "base/text_win.h"

#include <windows.h>

#include <stdio.h>

void wfmt_cut_v(wchar_t* dst, size_t cap, const wchar_t* format, va_list ap) {
  if (cap == 0) return;
  // msvcrt's _vsnwprintf writes at most cap-1 units and may leave them
  // unterminated when the text is longer: the last unit is ours.
  _vsnwprintf(dst, cap - 1, format, ap);
  dst[cap - 1] = 0;
}

void wfmt_cut(wchar_t* dst, size_t cap, const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  wfmt_cut_v(dst, cap, format, ap);
  va_end(ap);
}

void widen_utf8(wchar_t* dst, size_t cap, const char* src) {
  if (cap == 0) return;
  // A UTF-8 byte never yields more than one UTF-16 unit, so a prefix of
  // cap-1 bytes always fits; longer texts are cut there on purpose.
  size_t bytes = 0;
  while (src[bytes] && bytes < cap - 1) bytes++;
  int n = bytes ? MultiByteToWideChar(CP_UTF8, 0, src, (int)bytes, dst, (int)(cap - 1)) : 0;
  dst[n > 0 ? n : 0] = 0;
}
