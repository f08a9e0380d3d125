#include "base/text_win.h"

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

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

int survives_ansi(const wchar_t* text) {
  UINT cp = GetACP();
  // UTF-8 holds every letter and refuses these flags; the round trip
  // below still catches what it cannot carry (a lone surrogate).
  DWORD flags = (cp == CP_UTF8 || cp == CP_UTF7) ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  char narrow[4096];
  int n = WideCharToMultiByte(cp, flags, text, -1, narrow, (int)sizeof narrow, nullptr,
                              flags ? &used_default : nullptr);
  if (n <= 0 || used_default) return 0;
  wchar_t back[1024];
  int m = MultiByteToWideChar(cp, 0, narrow, n, back, (int)dimof(back));
  return m > 0 && wcscmp(back, text) == 0;
}
