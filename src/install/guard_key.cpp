#include "install/guard_key.h"

#include "base/bounds.h"

static int is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

uint64_t guard_key(const wchar_t* path) {
  // FNV-1a over the UTF-16 units of the path in its one canonical spelling.
  uint64_t h = 14695981039346656037ull;
  auto feed = [&h](wchar_t c) {
    uint16_t u = (uint16_t)c;
    h = (h ^ (u & 0xFF)) * 1099511628211ull;
    h = (h ^ (u >> 8)) * 1099511628211ull;
  };
  size_t i = 0;
  // "\\server\share" and "\\?\..." keep their leading pair.
  for (; i < 2 && is_separator(path[i]); i++) feed(L'\\');
  int pending = 0;
  for (; path[i]; i++) {
    if (is_separator(path[i])) {
      pending = 1;
      continue;
    }
    if (pending) feed(L'\\');
    pending = 0;
    feed(path[i]);
  }
  return h ? h : 1;
}

void guard_object_name(uint64_t key, wchar_t* out, size_t cap) {
  static const wchar_t prefix[] = L"Global\\BrisquelBuilderSetup-";
  static const wchar_t hex[] = L"0123456789abcdef";
  wchar_t name[64];
  size_t n = 0;
  for (; prefix[n]; n++) name[n] = prefix[n];
  for (int shift = 60; shift >= 0; shift -= 4) name[n++] = hex[(key >> shift) & 0xF];
  name[n] = 0;
  copy_cut_w(out, cap, name);
}
