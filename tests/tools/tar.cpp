// Stand-in for the Windows system tar.exe (bsdtar) in the Wine test prefix.
// Wine ships no tar.exe, and a Linux tar started from a Wine process loses
// its exit code and standard error, so the setup's unpacking can only be
// tested against a Windows program. This one handles what the setup asks of
// tar and refuses the rest loudly:
//
//   tar.exe -xf ARCHIVE -C DIR      (also -x -f ARCHIVE, -C before -xf;
//                                    without -C it unpacks into the
//                                    current directory, as bsdtar does)
//
// ARCHIVE must be a zip (stored or deflated entries; no Zip64, no
// encryption) and DIR must exist. Diagnostics go to standard error as
// "tar.exe: ..." in UTF-8, nothing ever goes to standard output, and the
// exit code is 0 on success and 1 on any failure. Like bsdtar it skips
// entries with an absolute name or a ".." segment, goes on with the rest
// and fails at the end; nothing is ever written outside DIR. A file whose
// data fails its CRC or size check is deleted again.
//
// Controls for the setup's tests (the setup's child inherits them):
//   TAR_STANDIN_LOG=path          append two UTF-8 lines per run before
//                                 anything else: "cmdline: " followed by
//                                 GetCommandLineW(), and "cwd: " followed by
//                                 the current directory.
//   TAR_STANDIN_DELAY_MS=N        sleep N ms after logging and before doing
//                                 anything else, so a test can see the log
//                                 line and then kill the setup mid-unpack.
//   TAR_STANDIN_STDERR_BYTES=N    write exactly N bytes to standard error
//                                 and exit 2 without unpacking. The bytes
//                                 repeat kFiller below (ASCII, 2-, 3- and
//                                 4-byte UTF-8), so the last character may
//                                 be cut; N=0 fails with no output at all.
//   TAR_STANDIN_EXIT=N            unpack as usual, then exit with N
//                                 (0..4294967295) whatever the unpack gave;
//                                 its diagnostics are still written.
// A control set to something other than a decimal number is an error
// (exit 1): a test that mistypes one should fail, not pass by accident.
#include <windows.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>
#include <zlib.h>

#include "tar_zip.h"

using zipfmt::Central;

namespace {

// Keep in step with STANDIN_STDERR_UNIT in tests/e2e/ziptools.py.
const char kFiller[] = u8"tar.exe: stand-in failed Grüße ✓ €5 😀 日本語\n";

// Entries stream through these two buffers; no entry is ever held whole,
// so archives of any size unpack in constant memory at disk speed.
constexpr DWORD kBufSize = 256 * 1024;
unsigned char g_in[kBufSize];
unsigned char g_out[kBufSize];
static_assert(kBufSize >= zipfmt::kTailWindow, "the end record search reads into g_in");
static_assert(kBufSize <= 0x7FFFFFFF, "zlib counts in uInt");

// Long paths: the destination is used in its "\\?\" form, so entries deep
// below it are not cut off at MAX_PATH.
constexpr size_t kPathCap = 32768;
wchar_t g_root[kPathCap];
size_t g_root_len;
wchar_t g_path[kPathCap];
// The directory most recently made sure of: runs of files in one folder
// then need no CreateDirectoryW call per ancestor.
wchar_t g_last_dir[kPathCap];
size_t g_last_dir_len;
// A zip name has at most 65535 bytes, hence at most 65535 UTF-16 units.
char g_name_bytes[0xFFFF + 1];
wchar_t g_name[0xFFFF + 1];
wchar_t g_rel[0xFFFF + 1];

void write_all(HANDLE h, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    DWORD chunk = len > kBufSize ? kBufSize : (DWORD)len;
    DWORD done = 0;
    if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) return;
    p += done;
    len -= done;
  }
}

// One diagnostic line, "tar.exe: " first. Text that does not fit is cut
// here on purpose, at a character boundary; the line feed always fits.
class Msg {
 public:
  Msg() { add("tar.exe: "); }
  Msg& add(const char* s) {
    while (*s && len_ < kCap) buf_[len_++] = *s++;
    return *this;
  }
  Msg& add_w(const wchar_t* s) { return add_w(s, wcslen(s)); }
  Msg& add_w(const wchar_t* s, size_t n) {
    len_ += zipfmt::utf8_from_utf16(s, n, buf_ + len_, kCap - len_, true);
    return *this;
  }
  Msg& add_u(uint64_t v) {
    char d[20];
    size_t n = 0;
    do {
      d[n++] = (char)('0' + v % 10);
      v /= 10;
    } while (v);
    while (n > 0 && len_ < kCap) buf_[len_++] = d[--n];
    return *this;
  }
  Msg& add_hex(uint32_t v) {
    static const char digits[] = "0123456789abcdef";
    add("0x");
    for (int shift = 28; shift >= 0 && len_ < kCap; shift -= 4)
      buf_[len_++] = digits[(v >> shift) & 0xF];
    return *this;
  }
  Msg& add_err(DWORD err) { return add(" (Windows error ").add_u(err).add(")"); }
  void emit() {
    buf_[len_++] = '\n';
    write_all(GetStdHandle(STD_ERROR_HANDLE), buf_, len_);
  }

 private:
  static constexpr size_t kCap = 4095;  // one byte left for the line feed
  char buf_[kCap + 1];
  size_t len_ = 0;
};

// ---- test controls ---------------------------------------------------------

struct Controls {
  bool has_delay, has_stderr_bytes, has_exit;
  uint64_t delay_ms, stderr_bytes, exit_code;
};

// Reads one numeric control. Returns nonzero when it is absent or valid.
int read_control(const wchar_t* name, uint64_t max, bool* present, uint64_t* value) {
  wchar_t text[32] = {0};
  *present = false;
  DWORD n = GetEnvironmentVariableW(name, text, dimof(text));
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return 1;
  if (n >= dimof(text) || !zipfmt::parse_decimal(text, max, value)) {
    Msg().add("test control ").add_w(name).add(" must be a decimal number up to ").add_u(max).emit();
    return 0;
  }
  *present = true;
  return 1;
}

int read_controls(Controls* c) {
  // INFINITE (0xFFFFFFFF) is allowed on purpose: a tar that never ends.
  return read_control(L"TAR_STANDIN_DELAY_MS", 0xFFFFFFFFu, &c->has_delay, &c->delay_ms) &&
         read_control(L"TAR_STANDIN_STDERR_BYTES", UINT64_MAX, &c->has_stderr_bytes,
                      &c->stderr_bytes) &&
         read_control(L"TAR_STANDIN_EXIT", 0xFFFFFFFFu, &c->has_exit, &c->exit_code);
}

// Appends this run's command line and current directory to the file named
// by TAR_STANDIN_LOG, in one write so that runs never interleave. Returns
// nonzero when there is no log or the record was written.
int log_invocation() {
  static wchar_t path[kPathCap];
  static wchar_t cwd[kPathCap];
  DWORD n = GetEnvironmentVariableW(L"TAR_STANDIN_LOG", path, dimof(path));
  if (n == 0) return 1;
  if (n >= dimof(path)) {
    Msg().add("TAR_STANDIN_LOG is too long").emit();
    return 0;
  }
  DWORD cwd_len = GetCurrentDirectoryW(dimof(cwd), cwd);
  if (cwd_len == 0 || cwd_len >= dimof(cwd)) cwd_len = 0;
  const wchar_t* cmd = GetCommandLineW();
  // g_out is idle this early; a command line and a directory of 32767
  // units each need at most 2 * 98301 bytes plus the labels.
  size_t len = 0;
  const size_t cap = sizeof(g_out);
  static_assert(sizeof(g_out) >= 2 * 3 * 32767 + 16, "log record must fit g_out");
  auto put = [&](const char* s) {
    while (*s && len < cap) g_out[len++] = (unsigned char)*s++;
  };
  put("cmdline: ");
  len += zipfmt::utf8_from_utf16(cmd, wcslen(cmd), (char*)g_out + len, cap - len, false);
  put("\ncwd: ");
  len += zipfmt::utf8_from_utf16(cwd, cwd_len, (char*)g_out + len, cap - len, false);
  put("\n");
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    Msg().add("cannot open TAR_STANDIN_LOG '").add_w(path).add("'").add_err(err).emit();
    return 0;
  }
  DWORD done = 0;
  BOOL ok = WriteFile(h, g_out, (DWORD)len, &done, nullptr) && done == len;
  DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) {
    Msg().add("cannot write TAR_STANDIN_LOG '").add_w(path).add("'").add_err(err).emit();
    return 0;
  }
  return 1;
}

void write_filler(uint64_t count) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  const size_t unit = sizeof(kFiller) - 1;
  static_assert(kBufSize >= sizeof(kFiller), "one filler unit fits the buffer");
  // A buffer of whole units, so every write continues the pattern.
  size_t whole = (kBufSize / unit) * unit;
  for (size_t i = 0; i < whole; i += unit) memcpy(g_out + i, kFiller, unit);
  while (count > 0) {
    DWORD chunk = count > whole ? (DWORD)whole : (DWORD)count;
    DWORD done = 0;
    // A reader that went away ends the output; the exit code still says 2.
    if (!WriteFile(err, g_out, chunk, &done, nullptr) || done != chunk) return;
    count -= chunk;
  }
}

// ---- command line ------------------------------------------------------------

struct Args {
  const wchar_t* archive;
  const wchar_t* dir;
};

void usage_error(const char* what, const wchar_t* detail) {
  Msg m;
  m.add(what);
  if (detail) m.add_w(detail).add("'");
  m.emit();
  Msg().add("usage: tar.exe -xf ARCHIVE [-C DIR] (this stand-in only unpacks zip archives)").emit();
}

// Accepts bundled single-letter options as bsdtar does ("-xf A", "-x -f A",
// "-fA"); -f and -C take the rest of their word or else the next word.
// Anything else is refused, so that a setup calling tar differently from
// what the real one would understand fails in the tests too.
int parse_args(int argc, wchar_t** argv, Args* a) {
  bool extract = false;
  a->archive = nullptr;
  a->dir = nullptr;
  for (int i = 1; i < argc; i++) {
    wchar_t* w = argv[i];
    if (w[0] != L'-' || w[1] == 0 || w[1] == L'-') {
      usage_error("unsupported argument '", w);
      return 0;
    }
    for (size_t j = 1; w[j]; j++) {
      wchar_t opt = w[j];
      if (opt == L'x') {
        extract = true;
        continue;
      }
      if (opt != L'f' && opt != L'C') {
        wchar_t o[2] = {opt, 0};
        usage_error("unsupported option '-", o);
        return 0;
      }
      const wchar_t* value;
      if (w[j + 1]) {
        value = w + j + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        usage_error(opt == L'f' ? "option -f needs an archive" : "option -C needs a directory",
                    nullptr);
        return 0;
      }
      const wchar_t** slot = opt == L'f' ? &a->archive : &a->dir;
      if (*slot) {
        usage_error(opt == L'f' ? "-f given twice" : "-C given twice", nullptr);
        return 0;
      }
      *slot = value;
      break;  // the value took the rest of this word
    }
  }
  if (!extract) {
    usage_error("Must specify one of -c, -r, -t, -u, -x", nullptr);
    return 0;
  }
  if (!a->archive) {
    usage_error("no archive given: this stand-in never reads standard input (use -f)", nullptr);
    return 0;
  }
  if (!a->dir) a->dir = L".";
  return 1;
}

// ---- file system ---------------------------------------------------------------

bool is_directory(const wchar_t* path) {
  DWORD attr = GetFileAttributesW(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Sets g_root to the absolute "\\?\" form of dir, without a trailing
// backslash. Returns nonzero on success.
int make_root(const wchar_t* dir) {
  static wchar_t full[kPathCap];
  DWORD n = GetFullPathNameW(dir, dimof(full), full, nullptr);
  if (n == 0 || n >= dimof(full)) return 0;
  const wchar_t* prefix = L"\\\\?\\";
  const wchar_t* rest = full;
  if (wcsncmp(full, L"\\\\?\\", 4) == 0) {
    prefix = L"";
  } else if (wcsncmp(full, L"\\\\", 2) == 0) {
    prefix = L"\\\\?\\UNC\\";
    rest = full + 2;
  }
  size_t plen = wcslen(prefix);
  size_t rlen = wcslen(rest);
  while (rlen > 0 && rest[rlen - 1] == L'\\') rlen--;
  if (plen + rlen >= dimof(g_root)) return 0;
  wmemcpy(g_root, prefix, plen);
  wmemcpy(g_root + plen, rest, rlen);
  g_root_len = plen + rlen;
  g_root[g_root_len] = 0;
  return 1;
}

// Creates every directory of g_path[0..end) below the root, ancestors
// first; a directory already there is fine, a file in its place is not.
// Returns nonzero on success, else leaves the Windows error in *err.
int make_dirs(size_t end, DWORD* err) {
  if (end == g_last_dir_len && wmemcmp(g_path, g_last_dir, end) == 0) return 1;
  for (size_t i = g_root_len + 1; i <= end; i++) {
    if (i < end && g_path[i] != L'\\') continue;
    wchar_t saved = g_path[i];
    g_path[i] = 0;
    int ok = CreateDirectoryW(g_path, nullptr);
    if (!ok) {
      *err = GetLastError();
      ok = *err == ERROR_ALREADY_EXISTS && is_directory(g_path);
    }
    g_path[i] = saved;
    if (!ok) return 0;
  }
  wmemcpy(g_last_dir, g_path, end);
  g_last_dir_len = end;
  return 1;
}

int read_at(HANDLE h, uint64_t offset, void* buf, DWORD len, DWORD* err) {
  LARGE_INTEGER pos;
  pos.QuadPart = (LONGLONG)offset;
  if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN)) {
    *err = GetLastError();
    return 0;
  }
  DWORD done = 0;
  if (!ReadFile(h, buf, len, &done, nullptr)) {
    *err = GetLastError();
    return 0;
  }
  if (done != len) {
    *err = ERROR_HANDLE_EOF;
    return 0;
  }
  return 1;
}

// Zip stamps are local time; the conversion goes through the time zone
// rules of that date, so a summer stamp read in winter is not an hour off.
void set_stamp(HANDLE h, uint16_t date, uint16_t time) {
  FILETIME local, utc;
  SYSTEMTIME st_local, st_utc;
  if (!DosDateTimeToFileTime(date, time, &local) || !FileTimeToSystemTime(&local, &st_local) ||
      !TzSpecificLocalTimeToSystemTime(nullptr, &st_local, &st_utc) ||
      !SystemTimeToFileTime(&st_utc, &utc))
    return;  // a bad stamp leaves the current time: the contents are what count
  SetFileTime(h, nullptr, nullptr, &utc);
}

// ---- entry data ----------------------------------------------------------------

enum class Fault { none, read, write, inflate, too_long, too_short, csize, crc };

struct Outcome {
  Fault fault;
  DWORD win_err;
  uint32_t crc;
  const char* zmsg;
};

int write_out(HANDLE out, const unsigned char* p, DWORD n, Outcome* o) {
  DWORD done = 0;
  BOOL ok = WriteFile(out, p, n, &done, nullptr);
  // A short write without an error is a full disk in all but name.
  DWORD err = ok ? ERROR_DISK_FULL : GetLastError();
  if (!ok || done != n) {
    o->fault = Fault::write;
    o->win_err = err;
    return 0;
  }
  return 1;
}

int read_in(HANDLE zip, DWORD n, Outcome* o) {
  DWORD done = 0;
  BOOL ok = ReadFile(zip, g_in, n, &done, nullptr);
  DWORD err = ok ? ERROR_HANDLE_EOF : GetLastError();
  if (!ok || done != n) {
    o->fault = Fault::read;
    o->win_err = err;
    return 0;
  }
  return 1;
}

// Copies an entry's data from zip (positioned at its first byte) to out,
// reading exactly c.csize bytes and writing at most c.usize: a stream that
// would grow past its declared size stops there instead of filling the
// disk. The CRC and the sizes are checked here; the caller words the fault.
void copy_stored(HANDLE zip, HANDLE out, const Central& c, Outcome* o) {
  uint32_t crc = crc32(0, nullptr, 0);
  uint64_t left = c.csize;
  while (left > 0) {
    DWORD n = left > kBufSize ? kBufSize : (DWORD)left;
    if (!read_in(zip, n, o)) return;
    crc = crc32(crc, g_in, n);
    if (!write_out(out, g_in, n, o)) return;
    left -= n;
  }
  o->crc = crc;
  if (crc != c.crc) o->fault = Fault::crc;
}

void copy_deflated(HANDLE zip, HANDLE out, const Central& c, Outcome* o) {
  // Some writers mark an empty file deflated without writing even the two
  // bytes of an empty deflate stream; it is still an empty file.
  if (c.csize == 0 && c.usize == 0) {
    o->crc = 0;
    if (c.crc != 0) o->fault = Fault::crc;
    return;
  }
  z_stream zs;
  memset(&zs, 0, sizeof(zs));
  // Negative window bits: zip entries are raw deflate, without zlib header.
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    o->fault = Fault::inflate;
    o->zmsg = "cannot start zlib";
    return;
  }
  uint32_t crc = crc32(0, nullptr, 0);
  uint64_t left = c.csize;
  uint64_t produced = 0;
  for (;;) {
    if (zs.avail_in == 0) {
      if (left == 0) {
        o->fault = Fault::too_short;  // compressed data ended mid-stream
        o->zmsg = "compressed data ends before the deflate stream does";
        break;
      }
      DWORD n = left > kBufSize ? kBufSize : (DWORD)left;
      if (!read_in(zip, n, o)) break;
      zs.next_in = g_in;
      zs.avail_in = n;
      left -= n;
    }
    zs.next_out = g_out;
    zs.avail_out = kBufSize;
    int r = inflate(&zs, Z_NO_FLUSH);
    if (r != Z_OK && r != Z_STREAM_END && !(r == Z_BUF_ERROR && zs.avail_in == 0)) {
      o->fault = Fault::inflate;
      o->zmsg = zs.msg ? zs.msg : "invalid deflate data";
      break;
    }
    DWORD n = kBufSize - zs.avail_out;
    if (n > c.usize - produced) {
      o->fault = Fault::too_long;
      break;
    }
    crc = crc32(crc, g_out, n);
    if (n > 0 && !write_out(out, g_out, n, o)) break;
    produced += n;
    if (r == Z_STREAM_END) {
      o->crc = crc;
      if (zs.avail_in != 0 || left != 0)
        o->fault = Fault::csize;
      else if (produced != c.usize)
        o->fault = Fault::too_short;
      else if (crc != c.crc)
        o->fault = Fault::crc;
      break;
    }
  }
  inflateEnd(&zs);
}

// Name of the current entry for diagnostics.
struct EntryName {
  const wchar_t* text;  // nullptr when the name could not be decoded
  size_t len;
  uint32_t index;
};

Msg& entry_msg(Msg& m, const EntryName& e) {
  if (e.text && e.len > 0)
    m.add_w(e.text, e.len);
  else
    m.add("entry #").add_u(e.index + 1ull);
  return m.add(": ");
}
// For one-line diagnostics: the temporary lives to the end of the statement.
Msg& entry_msg(Msg&& m, const EntryName& e) { return entry_msg(m, e); }

// Writes one file entry to g_path (its directories exist). A file that
// cannot be completed is deleted, so no half-written or corrupt file looks
// like a good one. Returns nonzero on success.
int write_file_entry(HANDLE zip, uint64_t data_off, const Central& c, const EntryName& e) {
  Outcome o = {Fault::none, 0, 0, nullptr};
  DWORD err = 0;
  LARGE_INTEGER pos;
  pos.QuadPart = (LONGLONG)data_off;
  if (!SetFilePointerEx(zip, pos, nullptr, FILE_BEGIN)) {
    err = GetLastError();
    entry_msg(Msg(), e).add("cannot read the archive").add_err(err).emit();
    return 0;
  }
  HANDLE out = CreateFileW(g_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    entry_msg(Msg(), e).add("Can't create '").add_w(g_path).add("'").add_err(err).emit();
    return 0;
  }
  if (c.method == zipfmt::kMethodStored)
    copy_stored(zip, out, c, &o);
  else
    copy_deflated(zip, out, c, &o);
  if (o.fault == Fault::none) set_stamp(out, c.date, c.time);
  CloseHandle(out);
  if (o.fault == Fault::none) return 1;

  DeleteFileW(g_path);
  Msg m;
  entry_msg(m, e);
  switch (o.fault) {
    case Fault::read:
      m.add("Truncated ZIP file data").add_err(o.win_err);
      break;
    case Fault::write:
      m.add("Write failed").add_err(o.win_err);
      break;
    case Fault::inflate:
      m.add("Invalid deflate data: ").add(o.zmsg);
      break;
    case Fault::too_long:
      m.add("Data is longer than its declared size of ").add_u(c.usize).add(" bytes");
      break;
    case Fault::too_short:
      m.add("Data is shorter than its declared size of ").add_u(c.usize).add(" bytes");
      if (o.zmsg) m.add(" (").add(o.zmsg).add(")");
      break;
    case Fault::csize:
      m.add("Deflate stream ends before its declared compressed size of ")
          .add_u(c.csize)
          .add(" bytes");
      break;
    case Fault::crc:
      m.add("ZIP bad CRC: ").add_hex(o.crc).add(" should be ").add_hex(c.crc);
      break;
    case Fault::none:
      break;
  }
  m.emit();
  return 0;
}

// Decodes the entry name in g_name_bytes into g_name: UTF-8 when the entry
// says so, else code page 437, the zip default. Returns the length in
// units, or -1 for bytes that are not valid UTF-8.
int decode_name(const Central& c) {
  g_name[0] = 0;
  if (c.name_len == 0) return 0;
  bool utf8 = (c.flags & zipfmt::kFlagUtf8) != 0;
  int n = MultiByteToWideChar(utf8 ? CP_UTF8 : 437, utf8 ? MB_ERR_INVALID_CHARS : 0,
                              g_name_bytes, c.name_len, g_name, (int)dimof(g_name) - 1);
  if (n <= 0) return -1;
  g_name[n] = 0;
  return n;
}

// Unpacks one entry whose central header is c and name is in
// g_name_bytes. end is where the entry data must stop (the central
// directory). Returns nonzero on success.
int extract_entry(HANDLE zip, const Central& c, uint32_t index, uint64_t end) {
  int name_len = decode_name(c);
  EntryName e = {name_len >= 0 ? g_name : nullptr, name_len >= 0 ? (size_t)name_len : 0, index};
  if (name_len < 0) {
    entry_msg(Msg(), e).add("Name is not valid UTF-8").emit();
    return 0;
  }
  if (wmemchr(g_name, 0, (size_t)name_len)) {
    entry_msg(Msg(), e).add("Name contains a NUL character").emit();
    return 0;
  }
  size_t rel_len = 0;
  bool is_dir = false;
  const char* refusal = nullptr;
  switch (zipfmt::clean_path(g_name, (size_t)name_len, g_rel, dimof(g_rel), &rel_len, &is_dir)) {
    case zipfmt::PathVerdict::ok:
      break;
    case zipfmt::PathVerdict::empty:
      if (is_dir) return 1;  // "./" and the like name the destination itself
      refusal = "Empty pathname";
      break;
    case zipfmt::PathVerdict::absolute:
      refusal = "Path is absolute";
      break;
    case zipfmt::PathVerdict::dotdot:
      refusal = "Path contains '..'";
      break;
    case zipfmt::PathVerdict::bad_segment:
      refusal = "Path contains a name of dots and spaces only";
      break;
    case zipfmt::PathVerdict::bad_char:
      refusal = "Path contains a character Windows does not allow in names";
      break;
    case zipfmt::PathVerdict::too_long:
      refusal = "Path is too long";
      break;
  }
  if (refusal) {
    entry_msg(Msg(), e).add(refusal).emit();
    return 0;
  }
  if (g_root_len + 1 + rel_len >= dimof(g_path)) {
    entry_msg(Msg(), e).add("Path is too long").emit();
    return 0;
  }
  wmemcpy(g_path, g_root, g_root_len);
  g_path[g_root_len] = L'\\';
  wmemcpy(g_path + g_root_len + 1, g_rel, rel_len);
  size_t path_len = g_root_len + 1 + rel_len;
  g_path[path_len] = 0;

  DWORD err = 0;
  if (is_dir) {
    if (!make_dirs(path_len, &err)) {
      entry_msg(Msg(), e).add("Can't create directory '").add_w(g_path).add("'").add_err(err).emit();
      return 0;
    }
    return 1;
  }
  if (zipfmt::is_symlink(c)) {
    entry_msg(Msg(), e).add("Symbolic links are not supported by this stand-in").emit();
    return 0;
  }
  if (c.flags & (zipfmt::kFlagEncrypted | zipfmt::kFlagStrongEncryption)) {
    entry_msg(Msg(), e).add("Encrypted file is unsupported").emit();
    return 0;
  }
  if (c.method != zipfmt::kMethodStored && c.method != zipfmt::kMethodDeflated) {
    entry_msg(Msg(), e).add("Unsupported ZIP compression method (").add_u(c.method).add(")").emit();
    return 0;
  }
  if (c.csize == zipfmt::kZip64Marker32 || c.usize == zipfmt::kZip64Marker32 ||
      c.local_offset == zipfmt::kZip64Marker32) {
    entry_msg(Msg(), e).add("Zip64 entries are not supported by this stand-in").emit();
    return 0;
  }
  if (c.method == zipfmt::kMethodStored && c.csize != c.usize) {
    entry_msg(Msg(), e).add("Stored entry with different compressed and uncompressed sizes").emit();
    return 0;
  }
  // The local header only tells where the data starts; sizes and CRC come
  // from the central directory, which is also right for entries written
  // with a trailing data descriptor.
  unsigned char local[zipfmt::kLocalSize];
  if (c.local_offset > end || end - c.local_offset < zipfmt::kLocalSize ||
      !read_at(zip, c.local_offset, local, sizeof(local), &err) ||
      zipfmt::le32(local) != zipfmt::kSigLocal) {
    entry_msg(Msg(), e).add("Bad local file header").emit();
    return 0;
  }
  uint64_t data_off = (uint64_t)c.local_offset + zipfmt::kLocalSize + zipfmt::le16(local + 26) +
                      zipfmt::le16(local + 28);
  if (data_off > end || c.csize > end - data_off) {
    entry_msg(Msg(), e).add("Truncated ZIP file data").emit();
    return 0;
  }
  size_t parent = path_len;
  while (parent > g_root_len && g_path[parent] != L'\\') parent--;
  if (!make_dirs(parent, &err)) {
    entry_msg(Msg(), e).add("Can't create directory for '").add_w(g_path).add("'").add_err(err).emit();
    return 0;
  }
  return write_file_entry(zip, data_off, c, e);
}

// Unpacks the zip archive zip into g_root. Returns the exit code.
int extract(HANDLE zip) {
  DWORD err = 0;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(zip, &size)) {
    err = GetLastError();
    Msg().add("Error opening archive: cannot get its size").add_err(err).emit();
    return 1;
  }
  uint64_t file_size = (uint64_t)size.QuadPart;
  DWORD tail_len = file_size < zipfmt::kTailWindow ? (DWORD)file_size : (DWORD)zipfmt::kTailWindow;
  if (!read_at(zip, file_size - tail_len, g_in, tail_len, &err)) {
    Msg().add("Error reading archive").add_err(err).emit();
    return 1;
  }
  zipfmt::End end;
  if (!zipfmt::find_end(g_in, tail_len, file_size, &end)) {
    unsigned char head[4];
    if (file_size >= 4 && read_at(zip, 0, head, 4, &err) && zipfmt::le32(head) == zipfmt::kSigLocal)
      Msg().add("Truncated ZIP file: end of central directory record not found").emit();
    else
      Msg().add("Error opening archive: Unrecognized archive format").emit();
    return 1;
  }
  if (end.zip64 || end.entries == zipfmt::kZip64Marker16 ||
      end.cd_offset == zipfmt::kZip64Marker32 || end.cd_size == zipfmt::kZip64Marker32) {
    Msg().add("Zip64 archives are not supported by this stand-in").emit();
    return 1;
  }
  if (end.disk != 0 || end.cd_disk != 0 || end.entries_here != end.entries) {
    Msg().add("Multi-volume ZIP archives are not supported").emit();
    return 1;
  }
  if (end.cd_offset > end.pos || end.cd_size > end.pos - end.cd_offset) {
    Msg().add("Corrupt ZIP file: central directory lies outside the archive").emit();
    return 1;
  }
  uint64_t cursor = end.cd_offset;
  uint64_t cd_end = (uint64_t)end.cd_offset + end.cd_size;
  bool failed = false;
  for (uint32_t i = 0; i < end.entries; i++) {
    unsigned char hdr[zipfmt::kCentralSize];
    Central c;
    if (cd_end - cursor < sizeof(hdr) || !read_at(zip, cursor, hdr, sizeof(hdr), &err) ||
        !zipfmt::parse_central(hdr, &c)) {
      Msg().add("Corrupt ZIP file: bad central directory header for entry #").add_u(i + 1ull).emit();
      return 1;
    }
    uint64_t var_len = (uint64_t)c.name_len + c.extra_len + c.comment_len;
    if (cd_end - cursor - sizeof(hdr) < var_len ||
        (c.name_len > 0 && !read_at(zip, cursor + sizeof(hdr), g_name_bytes, c.name_len, &err))) {
      Msg().add("Corrupt ZIP file: central directory is truncated at entry #").add_u(i + 1ull).emit();
      return 1;
    }
    cursor += sizeof(hdr) + var_len;
    if (!extract_entry(zip, c, i, end.cd_offset)) failed = true;
  }
  if (failed) {
    Msg().add("Error exit delayed from previous errors.").emit();
    return 1;
  }
  return 0;
}

int run(int argc, wchar_t** argv) {
  Args a;
  if (!parse_args(argc, argv, &a)) return 1;
  // The archive is opened before the change of directory, as bsdtar does,
  // so a relative archive path means the caller's current directory.
  HANDLE zip = CreateFileW(a.archive, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (zip == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    Msg().add("Error opening archive: Failed to open '").add_w(a.archive).add("'").add_err(err).emit();
    return 1;
  }
  int rc = 1;
  if (!is_directory(a.dir) || !make_root(a.dir))
    Msg().add("could not chdir to '").add_w(a.dir).add("'").emit();
  else
    rc = extract(zip);
  CloseHandle(zip);
  return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (!log_invocation()) return 1;
  Controls ctl;
  if (!read_controls(&ctl)) return 1;
  if (ctl.has_delay) Sleep((DWORD)ctl.delay_ms);
  if (ctl.has_stderr_bytes) {
    write_filler(ctl.stderr_bytes);
    return 2;
  }
  int rc = run(argc, argv);
  return ctl.has_exit ? (int)(DWORD)ctl.exit_code : rc;
}
