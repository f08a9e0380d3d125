// Zip records and entry-name rules of the tar stand-in. Pure code: no
// Windows header, so the rules that keep writes inside the destination can
// be read (and compiled) apart from the file-system calls.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Element count of an array; refuses a pointer at compile time.
template <typename T, size_t N>
char (&tar_dimof_helper(T (&)[N]))[N];
#define dimof(a) (sizeof(tar_dimof_helper(a)))

namespace zipfmt {

constexpr uint32_t kSigLocal = 0x04034b50;
constexpr uint32_t kSigCentral = 0x02014b50;
constexpr uint32_t kSigEnd = 0x06054b50;
constexpr uint32_t kSigZip64Locator = 0x07064b50;
constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr size_t kZip64LocatorSize = 20;
// The end record sits within the last 22 bytes plus a comment of at most
// 65535 bytes; the Zip64 locator, when there is one, just before it.
constexpr size_t kTailWindow = kZip64LocatorSize + kEndSize + 0xFFFF;

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagStrongEncryption = 0x0040;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
// A 32-bit field holding this says "the real value is in a Zip64 record".
constexpr uint32_t kZip64Marker32 = 0xFFFFFFFFu;
constexpr uint16_t kZip64Marker16 = 0xFFFFu;

inline uint16_t le16(const unsigned char* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t le32(const unsigned char* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

struct End {
  uint64_t pos;  // offset of the record in the file
  uint16_t disk, cd_disk, entries_here, entries;
  uint32_t cd_size, cd_offset;
  bool zip64;    // a Zip64 locator precedes the record
};

// Finds the end-of-central-directory record in tail, the last tail_len
// bytes of a file of file_size bytes. The record counts only when its
// comment length reaches exactly to the end of the file: a comment may
// itself contain the signature, and the scan from the end would otherwise
// stop inside it. Returns nonzero when found.
inline int find_end(const unsigned char* tail, size_t tail_len, uint64_t file_size,
                    End* out) {
  if (tail_len < kEndSize || tail_len > file_size) return 0;
  for (size_t i = tail_len - kEndSize + 1; i-- > 0;) {
    const unsigned char* p = tail + i;
    if (le32(p) != kSigEnd) continue;
    if (i + kEndSize + le16(p + 20) != tail_len) continue;
    out->pos = file_size - tail_len + i;
    out->disk = le16(p + 4);
    out->cd_disk = le16(p + 6);
    out->entries_here = le16(p + 8);
    out->entries = le16(p + 10);
    out->cd_size = le32(p + 12);
    out->cd_offset = le32(p + 16);
    out->zip64 = i >= kZip64LocatorSize && le32(p - kZip64LocatorSize) == kSigZip64Locator;
    return 1;
  }
  return 0;
}

struct Central {
  uint16_t made_by, flags, method, time, date, name_len, extra_len, comment_len;
  uint32_t crc, csize, usize, ext_attr, local_offset;
};

// Reads the fixed 46 bytes of a central directory header. Returns nonzero
// when the signature is right.
inline int parse_central(const unsigned char* p, Central* c) {
  if (le32(p) != kSigCentral) return 0;
  c->made_by = le16(p + 4);
  c->flags = le16(p + 8);
  c->method = le16(p + 10);
  c->time = le16(p + 12);
  c->date = le16(p + 14);
  c->crc = le32(p + 16);
  c->csize = le32(p + 20);
  c->usize = le32(p + 24);
  c->name_len = le16(p + 28);
  c->extra_len = le16(p + 30);
  c->comment_len = le16(p + 32);
  c->ext_attr = le32(p + 38);
  c->local_offset = le32(p + 42);
  return 1;
}

// A Unix symbolic link: the entry's data is the link target. Written as a
// file it would be wrong, written as a link it could point outside the
// destination, so the stand-in refuses it.
inline bool is_symlink(const Central& c) {
  return (c.made_by >> 8) == 3 && ((c.ext_attr >> 16) & 0170000) == 0120000;
}

enum class PathVerdict { ok, empty, absolute, dotdot, bad_segment, bad_char, too_long };

inline bool is_sep(wchar_t ch) { return ch == L'/' || ch == L'\\'; }

// Characters Windows refuses in a name; ':' also because on NTFS it would
// open an alternate data stream of another file instead.
inline bool is_bad_char(wchar_t ch) {
  if (ch < 0x20) return true;
  switch (ch) {
    case L'<': case L'>': case L':': case L'"': case L'|': case L'?': case L'*':
      return true;
    default:
      return false;
  }
}

// Turns an entry name of len units into a relative path with backslashes in
// out (cap units, terminated), dropping empty and "." segments. *is_dir
// tells whether the name ends in a separator. Anything that could land
// outside the destination is refused rather than repaired: an absolute name
// (leading separator, drive letter), a ".." segment, a segment of dots and
// spaces alone (Win32 trims trailing dots and spaces, so "..." or ". ."
// could turn into something else), or a character Windows does not allow.
// Never writes more than cap units.
inline PathVerdict clean_path(const wchar_t* name, size_t len, wchar_t* out, size_t cap,
                              size_t* out_len, bool* is_dir) {
  *out_len = 0;
  *is_dir = len > 0 && is_sep(name[len - 1]);
  if (cap == 0) return PathVerdict::too_long;
  out[0] = 0;
  if (len > 0 && is_sep(name[0])) return PathVerdict::absolute;
  if (len >= 2 && name[1] == L':' &&
      ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')))
    return PathVerdict::absolute;
  size_t n = 0;
  size_t i = 0;
  while (i < len) {
    size_t start = i;
    while (i < len && !is_sep(name[i])) i++;
    size_t seg = i - start;
    if (i < len) i++;  // the separator
    if (seg == 0) continue;
    const wchar_t* s = name + start;
    if (seg == 1 && s[0] == L'.') continue;
    if (seg == 2 && s[0] == L'.' && s[1] == L'.') return PathVerdict::dotdot;
    bool only_dots_spaces = true;
    for (size_t k = 0; k < seg; k++) {
      if (is_bad_char(s[k])) return PathVerdict::bad_char;
      if (s[k] != L'.' && s[k] != L' ') only_dots_spaces = false;
    }
    if (only_dots_spaces) return PathVerdict::bad_segment;
    size_t need = seg + (n > 0 ? 1 : 0);
    if (need >= cap - n) return PathVerdict::too_long;  // keep room for the terminator
    if (n > 0) out[n++] = L'\\';
    for (size_t k = 0; k < seg; k++) out[n++] = s[k];
    out[n] = 0;
  }
  *out_len = n;
  return n == 0 ? PathVerdict::empty : PathVerdict::ok;
}

// Encodes UTF-16 text as UTF-8 into out, cap bytes; a lone surrogate
// becomes U+FFFD. Stops before a character that would not fit whole, so the
// result is always valid UTF-8. When ctl_to_question is set, control
// characters become '?' (names inside one-line diagnostics). Returns the
// bytes written; never terminates.
inline size_t utf8_from_utf16(const wchar_t* s, size_t len, char* out, size_t cap,
                              bool ctl_to_question) {
  size_t n = 0;
  for (size_t i = 0; i < len; i++) {
    uint32_t cp = (uint16_t)s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < len && (uint16_t)s[i + 1] >= 0xDC00 &&
        (uint16_t)s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint16_t)s[i + 1] - 0xDC00);
      i++;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (ctl_to_question && (cp < 0x20 || cp == 0x7F)) cp = '?';
    unsigned char b[4];
    size_t k;
    if (cp < 0x80) {
      b[0] = (unsigned char)cp;
      k = 1;
    } else if (cp < 0x800) {
      b[0] = (unsigned char)(0xC0 | (cp >> 6));
      b[1] = (unsigned char)(0x80 | (cp & 0x3F));
      k = 2;
    } else if (cp < 0x10000) {
      b[0] = (unsigned char)(0xE0 | (cp >> 12));
      b[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
      b[2] = (unsigned char)(0x80 | (cp & 0x3F));
      k = 3;
    } else {
      b[0] = (unsigned char)(0xF0 | (cp >> 18));
      b[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
      b[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
      b[3] = (unsigned char)(0x80 | (cp & 0x3F));
      k = 4;
    }
    if (k > cap - n) break;
    for (size_t j = 0; j < k; j++) out[n++] = (char)b[j];
  }
  return n;
}

// Parses a whole decimal number of at most max. Returns nonzero on success;
// an empty text, a sign, a stray character or an overflow all fail.
inline int parse_decimal(const wchar_t* s, uint64_t max, uint64_t* out) {
  if (!s || !*s) return 0;
  uint64_t v = 0;
  for (; *s; s++) {
    if (*s < L'0' || *s > L'9') return 0;
    uint64_t d = (uint64_t)(*s - L'0');
    if (v > (max - d) / 10) return 0;
    v = v * 10 + d;
  }
  *out = v;
  return 1;
}

}  // namespace zipfmt
