#include "zip_read.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"
#include "grow.h"
#ifdef _WIN32
#include <wchar.h>

#include "text_utf.h"
#endif

// bsdtar's own read size: every entry's local header is a seek and a read
// of this much, so a larger one costs far more on archives of many files.
static const size_t kBlock = 10240;

static const char* la_text(struct archive* a) {
  const char* s = archive_error_string(a);
  return s ? s : "unknown error";
}

// Opens the zip the way bsdtar does (seekable, so the central directory
// counts), with only the zip format: a part is a zip whatever tar would
// also take. charset, when set, is the code page for names that carry no
// UTF-8 mark. On failure says why (libarchive already bids at the open).
static struct archive* open_zip(const char* path, const char* charset, char* why, size_t why_cap) {
  static int locale_set;
  if (!locale_set) {
#ifdef _WIN32
    // As bsdtar does: names without a UTF-8 mark then convert exactly as
    // they do in tar.exe.
    setlocale(LC_ALL, "");
#else
    // Names come out as UTF-8 whatever the environment's locale.
    setlocale(LC_CTYPE, "C.UTF-8");
    // libarchive turns every entry's time into local time, and glibc looks
    // at /etc/localtime again each time when TZ is unset. The tool uses no
    // times.
    setenv("TZ", "UTC0", 0);
#endif
    locale_set = 1;
  }
  struct archive* a = archive_read_new();
  if (!a) {
    fmt_cut(why, why_cap, "cannot be opened: %s", strerror(ENOMEM));
    return NULL;
  }
  archive_read_support_format_zip(a);
  if (charset) archive_read_set_format_option(a, "zip", "hdrcharset", charset);
  int r;
#ifdef _WIN32
  static wchar_t wpath[32768];
  if (!wide_from_utf8(path, wpath, sizeof wpath / sizeof wpath[0])) {
    archive_read_free(a);
    fmt_cut(why, why_cap, "cannot be opened: %s", strerror(ENAMETOOLONG));
    return NULL;
  }
  r = archive_read_open_filename_w(a, wpath, kBlock);
#else
  r = archive_read_open_filename(a, path, kBlock);
#endif
  if (r != ARCHIVE_OK) {
    int err = archive_errno(a);
    if (err == EILSEQ)  // libarchive's code for a format it cannot read
      fmt_cut(why, why_cap, "is not a zip archive that tar can read: %s", la_text(a));
    else
      fmt_cut(why, why_cap, "cannot be opened: %s", strerror(err > 0 ? err : EIO));
    archive_read_free(a);
    return NULL;
  }
  return a;
}

static const char* entry_name(struct archive_entry* e) {
#ifdef _WIN32
  // From the wide name that tar.exe writes to disk.
  const char* name = archive_entry_pathname_utf8(e);
  if (!name) name = archive_entry_pathname(e);
#else
  // The locale is UTF-8 already; asking for UTF-8 would open a new iconv
  // conversion for every entry.
  const char* name = archive_entry_pathname(e);
#endif
  return name ? name : "";
}

static uint64_t name_hash(const char* s) {
  uint64_t h = 14695981039346656037ull;
  for (; *s; s++) h = (h ^ (unsigned char)*s) * 1099511628211ull;
  return h;
}

static int has_high_byte(const char* s) {
  for (; *s; s++)
    if ((unsigned char)*s >= 0x80) return 1;
  return 0;
}

// Names with bytes beyond ASCII, by their place in the archive. Read again
// as if the archive came from a Windows-1252 machine, a name stored in
// UTF-8 (marked, or in Info-ZIP's Unicode field) stays the same; one stored
// as bytes of whatever code page its maker used reads differently, as tar
// turns it into different names on machines with different code pages.
struct HighName {
  uint64_t index;
  uint64_t hash;
};

struct HighNames {
  HighName* at;
  size_t count, cap;
};

static int remember(HighNames* h, uint64_t index, const char* name) {
  if (!grow_for_one(&h->at, h->count, &h->cap, 64)) return 0;
  h->at[h->count].index = index;
  h->at[h->count].hash = name_hash(name);
  h->count++;
  return 1;
}

// The place of the first remembered name that reads differently in
// Windows-1252 (or cannot be read there at all); -1 when there is none.
static int64_t first_code_page_name(const char* path, const HighNames* h) {
  char why[8];
  struct archive* a = open_zip(path, "CP1252", why, sizeof why);
  if (!a) return -1;
  int64_t found = -1;
  size_t k = 0;
  struct archive_entry* e;
  for (uint64_t i = 0; k < h->count; i++) {
    int r = archive_read_next_header(a, &e);
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) break;
    if (i != h->at[k].index) continue;
    if (r == ARCHIVE_WARN || name_hash(entry_name(e)) != h->at[k].hash) {
      found = (int64_t)i;
      break;
    }
    k++;
  }
  archive_read_free(a);
  return found;
}

// Names entry number index, as this machine reads it, in why.
static void name_code_page_entry(const char* path, int64_t index, char* why, size_t why_cap) {
  struct archive* a = open_zip(path, NULL, why, why_cap);
  if (!a) return;
  struct archive_entry* e = NULL;
  for (int64_t i = 0; i <= index; i++)
    if (archive_read_next_header(a, &e) < ARCHIVE_WARN) e = NULL;
  fmt_cut(why, why_cap,
          "has an entry name stored in a code page, not in UTF-8, which tar reads differently on "
          "every machine (\"%s\")",
          e ? entry_name(e) : "?");
  archive_read_free(a);
}

int zip_walk(const char* path, int read_contents, ZipVisit visit, void* ctx, uint64_t* count,
             char* why, size_t why_cap) {
  *count = 0;
  why[0] = 0;
  HighNames high = {NULL, 0, 0};
  struct archive* a = open_zip(path, NULL, why, why_cap);
  if (!a) return 0;
  int ok = 0, stopped = 0;
  for (;;) {
    struct archive_entry* e;
    int r = archive_read_next_header(a, &e);
    if (r == ARCHIVE_EOF) {
      ok = 1;
      break;
    }
    if (r < ARCHIVE_WARN) {
      if (*count == 0)
        fmt_cut(why, why_cap, "cannot be read: %s", la_text(a));
      else
        fmt_cut(why, why_cap, "cannot be read after entry %llu: %s", (unsigned long long)*count,
                la_text(a));
      break;
    }
    ZipEntry z;
    z.name = entry_name(e);
    unsigned type = archive_entry_filetype(e);
    z.type = archive_entry_hardlink(e) || type == AE_IFLNK ? ZIP_LINK
             : type == AE_IFDIR                            ? ZIP_DIR
             : type == AE_IFREG                            ? ZIP_FILE
                                                           : ZIP_OTHER;
    z.encrypted = archive_entry_is_encrypted(e);
    const char* format = archive_format_name(a);
    z.stored_or_deflated = format && (strstr(format, "(uncompressed)") || strstr(format, "(deflation)"));
    if (read_contents && has_high_byte(z.name) && !remember(&high, *count, z.name)) {
      fmt_cut(why, why_cap, "has more names than memory holds");
      break;
    }
    (*count)++;
    if (!visit(ctx, &z)) {
      ok = stopped = 1;
      break;
    }
    if (!read_contents || z.type != ZIP_FILE) continue;
    // Unpacked and thrown away: a bad CRC, a short entry or damaged
    // compressed data stops tar on the user's machine, so it stops us here.
    const void* block;
    size_t size;
    int64_t offset;
    while ((r = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
    }
    if (r != ARCHIVE_EOF) {
      fmt_cut(why, why_cap, "cannot be read at entry \"%s\": %s", entry_name(e), la_text(a));
      break;
    }
  }
  archive_read_free(a);
  // A walk that the visitor stopped has its answer already.
  if (ok && !stopped && high.count) {
    int64_t index = first_code_page_name(path, &high);
    if (index >= 0) {
      name_code_page_entry(path, index, why, why_cap);
      ok = 0;
    }
  }
  free(high.at);
  return ok;
}
