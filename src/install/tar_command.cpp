#include "install/tar_command.h"

#include <wchar.h>

#include "base/bounds.h"

namespace {

// A line being appended to; never written past cap-1 units.
struct Line {
  wchar_t* out;
  size_t cap;
  size_t len;
  int fits;
};

void put(Line* l, const wchar_t* s, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (l->len + 1 >= l->cap) {
      l->fits = 0;
      break;
    }
    l->out[l->len++] = s[i];
  }
  l->out[l->len] = 0;
}

void put(Line* l, const wchar_t* s) { put(l, s, wcslen(s)); }

int is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

size_t leading_separators(const wchar_t* path) {
  size_t n = 0;
  while (is_separator(path[n])) n++;
  return n;
}

// Steps *at past the next name of path, giving where it starts and its
// length; 0 at the end. Doubled and trailing separators name nothing.
int next_name(const wchar_t* path, size_t* at, size_t* start, size_t* len) {
  size_t i = *at;
  while (is_separator(path[i])) i++;
  *at = i;
  if (!path[i]) return 0;
  *start = i;
  while (path[i] && !is_separator(path[i])) i++;
  *len = i - *start;
  *at = i;
  return 1;
}

wchar_t fold_ascii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? (wchar_t)(c + (L'a' - L'A')) : c; }

// File names compare without regard to ASCII case, as Windows does.
int same_name(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
  if (an != bn) return 0;
  for (size_t i = 0; i < an; i++)
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return 0;
  return 1;
}

int is_dot_name(const wchar_t* s, size_t n) {
  return (n == 1 && s[0] == L'.') || (n == 2 && s[0] == L'.' && s[1] == L'.');
}

// The archive's path as seen from dest: one ".." per name of dest past
// the folder both share, then the archive's names past it. Nonzero only
// when such a form exists, fits, and is ASCII throughout.
int relative_archive(wchar_t* rel, size_t cap, const wchar_t* archive, const wchar_t* dest) {
  if (leading_separators(archive) != leading_separators(dest)) return 0;
  size_t ai = 0, di = 0, as = 0, an = 0, ds = 0, dn = 0;
  int shared = 0;
  for (;;) {
    size_t a_at = ai, d_at = di;
    if (!next_name(archive, &ai, &as, &an) || !next_name(dest, &di, &ds, &dn) ||
        !same_name(archive + as, an, dest + ds, dn)) {
      ai = a_at;
      di = d_at;
      break;
    }
    shared++;
  }
  if (!shared) return 0;  // another drive or share

  Line l = {rel, cap, 0, 1};
  rel[0] = 0;
  while (next_name(dest, &di, &ds, &dn)) {
    // "." or ".." past the shared folder would make the count of steps up wrong.
    if (is_dot_name(dest + ds, dn)) return 0;
    put(&l, L"..\\");
  }
  int names = 0;
  while (next_name(archive, &ai, &as, &an)) {
    if (names++) put(&l, L"\\");
    put(&l, archive + as, an);
  }
  if (!names || !l.fits) return 0;
  for (size_t i = 0; i < l.len; i++)
    if ((unsigned)rel[i] >= 0x80) return 0;
  return 1;
}

}  // namespace

int tar_command(wchar_t* out, size_t cap, const wchar_t* system_dir, const wchar_t* archive,
                const wchar_t* dest, int ansi_ok) {
  if (cap == 0) return 0;
  // Up to 130 steps up for a 260-unit dest, then a 260-unit archive path.
  wchar_t rel[640];
  const wchar_t* a = archive;
  const wchar_t* d = dest;
  if (!ansi_ok && relative_archive(rel, dimof(rel), archive, dest)) {
    a = rel;
    d = L".";
  }
  Line l = {out, cap, 0, 1};
  out[0] = 0;
  put(&l, L"\"");
  put(&l, system_dir);
  put(&l, L"\\tar.exe\" -xf \"");
  put(&l, a);
  put(&l, L"\" -C \"");
  put(&l, d);
  put(&l, L"\"");
  return l.fits;
}
