#include "base/cmdline.h"

#include "base/bounds.h"

wchar_t g_cmdline[2048];

void set_cmdline(const wchar_t* text) {
  // Unit 2047 stays the terminator whatever the length of text.
  size_t i = 0;
  if (text)
    for (; i < dimof(g_cmdline) - 1 && text[i]; i++) g_cmdline[i] = text[i];
  for (; i < dimof(g_cmdline); i++) g_cmdline[i] = 0;
}

long cmdline_find(const wchar_t* needle) {
  if (!needle[0]) return 0;
  for (long i = 0; g_cmdline[i]; i++) {
    long k = 0;
    while (needle[k] && g_cmdline[i + k] == needle[k]) k++;
    if (!needle[k]) return i;
  }
  return -1;
}

int cmdline_cut(const wchar_t* needle) {
  long at = cmdline_find(needle);
  if (at < 0) return 0;
  long len = 0;
  while (needle[len]) len++;
  long i = at;
  do {
    g_cmdline[i] = g_cmdline[i + len];
  } while (g_cmdline[i++]);
  return 1;
}
