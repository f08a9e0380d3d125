// Getting each part into reach: kept folder, cached archive or download.
#include <windows.h>

#include <string.h>

#include "base/text_win.h"
#include "install/messages.h"
#include "install/retry.h"
#include "install/run_win.h"
#include "install/sha256_win.h"
#include "net/api_link_win.h"
#include "net/http_win.h"
#include "setuplist/part_folder.h"
#include "ui/ui.h"

// Moves the part's folder over from the installed version when that
// version records the same checksum for it. Silent when anything is off.
static int keep_unchanged(RunState* run, const PartEntry* p) {
  wchar_t folder[PATH_UNITS];
  if (!part_folder(p, folder)) return 0;

  wchar_t path[PATH_UNITS];
  char installed[128];
  WFMT(path, L"%ls\\current.txt", run->versions_dir);
  read_marker(path, installed);
  // We only ever write list-checked tags there; anything else (an edited
  // marker such as "..\x") must not lead a move outside the versions.
  if (!installed[0] || strcmp(installed, run->list.tag) == 0 || !list_name_ok(installed, 0))
    return 0;

  WFMT(path, L"%ls\\%hs\\parts.txt", run->versions_dir, installed);
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  static char record[8192];
  DWORD got = 0;
  if (!ReadFile(f, record, sizeof record - 1, &got, nullptr)) got = 0;
  CloseHandle(f);
  record[got] = 0;
  if (!strstr(record, p->sha256)) return 0;

  wchar_t from[PATH_UNITS], to[PATH_UNITS];
  WFMT(from, L"%ls\\%hs\\%ls", run->versions_dir, installed, folder);
  if (!path_exists(from)) return 0;
  WFMT(to, L"%ls\\%ls", run->staging_dir, folder);
  wchar_t parent[PATH_UNITS];
  COPY_CUT_W(parent, to);
  wchar_t* cut = wcsrchr(parent, L'\\');
  if (cut) *cut = 0;
  make_dirs(parent);
  // The installed version stops being whole with this move. Its
  // installed.txt goes first, so that no later run (a --tag for it, or a
  // release pulled back to it) takes it for complete and keeps it as it
  // is, and the launcher does not start it. When it cannot go, nothing moves.
  wchar_t old_version[PATH_UNITS], old_installed[PATH_UNITS];
  WFMT(old_version, L"%ls\\%hs", run->versions_dir, installed);
  WFMT(old_installed, L"%ls\\installed.txt", old_version);
  fs_retry(FS_DELETE, old_installed);
  if (path_exists(old_installed)) return 0;
  // A rename inside the versions directory: never a copy.
  return fs_retry(FS_MOVE, from, to);
}

// Puts the verified partial file at the archive path, where an older copy
// goes first. When Windows keeps refusing, the run ends here, not in tar,
// and the verified bytes stay in the partial file for the next run.
static void place_archive(const wchar_t* partial, const wchar_t* archive, int n, int total) {
  if (!fs_retry(FS_DELETE, archive)) {
    unsigned long error = GetLastError();
    if (path_exists(archive)) fail(MSG_ARCHIVE_NOT_PLACED, n, total, archive, error);
  }
  if (!fs_retry(FS_MOVE, partial, archive)) {
    unsigned long error = GetLastError();
    fail(MSG_ARCHIVE_NOT_PLACED, n, total, archive, error);
  }
}

// Nonzero when the partial file holds the whole verified archive: one that
// a run could not put in place. Only a file of the part's size is read.
static int partial_is_verified(const PartEntry* p, const wchar_t* partial) {
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!GetFileAttributesExW(partial, GetFileExInfoStandard, &a)) return 0;
  if (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  if ((((uint64_t)a.nFileSizeHigh << 32) | a.nFileSizeLow) != p->size) return 0;
  char digest[65] = {};
  return file_sha256(partial, digest) && strcmp(digest, p->sha256) == 0;
}

// Opens the partial file for an attempt, with the bytes it holds already
// hashed from the disk; none when they cannot be the start of the archive
// (as many bytes as the part, or more, not verified). Ends the run when the
// file cannot be written or nothing could verify it.
static FileTarget open_partial(const PartEntry* p, int n, int total, const wchar_t* partial) {
  HANDLE f = CreateFileW(partial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (f == INVALID_HANDLE_VALUE) fail(MSG_CANNOT_WRITE, g_downloads_dir);
  Sha256 h;
  LONG st = sha256_open(&h);
  if (st != 0) {
    // Without a hash nothing could be verified: no archive may pass.
    CloseHandle(f);
    fail(MSG_NO_CHECKSUM, n, total, (unsigned long)st);
  }
  LARGE_INTEGER length = {};
  int sized = GetFileSizeEx(f, &length);
  FileTarget t = {f, h.alg, h.hash, (uint64_t)length.QuadPart, 0};
  if (!sized || t.have >= p->size || !sha256_feed_file(&h, f, t.have)) {
    if (!file_restart(&t)) {
      CloseHandle(f);
      fail(MSG_CANNOT_WRITE, g_downloads_dir);
    }
  }
  return t;
}

// Brings the partial file to the whole archive with retries, resuming
// where the bytes on disk end, and leaves its digest in digest. Returns
// nonzero when the finished file was resumed from earlier bytes. Ends the
// run when the host keeps failing or refuses for good.
static int fetch_part(const PartEntry* p, int n, int total, const wchar_t* partial,
                      char digest[65]) {
  int spent = 0;      // attempts of the current schedule
  uint64_t most = 0;  // the most the file held after any attempt
  for (int k = 0;; k++) {
    if (partial_is_verified(p, partial)) {
      copy_cut(digest, 65, p->sha256);
      return 0;
    }
    if (spent > 0) {
      status(MSG_PART_RETRY, n, total, (unsigned long)g_http_status, waits[spent - 1]);
      pause_seconds(waits[spent - 1]);
    }
    status(MSG_PART_DOWNLOADING, n, total, (unsigned long long)(p->size >> 20));
    FileTarget target = open_partial(p, n, total, partial);
    if (target.have > most) most = target.have;
    g_http_status = 0;
    char api_link[1024];
    int ok;
    if (k % 2 == 1 && api_link_for(p->url, api_link))
      ok = http_get_file(api_link, &target, p->size, L"application/octet-stream");
    else
      ok = http_get_file(p->url, &target, p->size, nullptr);
    CloseHandle(target.file);
    Sha256 h = {target.alg, target.hash};
    sha256_close(&h, digest);
    g_percent.store(-1);
    if (ok) return target.began > 0;
    // A wrong range fails the attempt like a cut body: the host may mend.
    if (g_http_status != 206 && !status_is_transient(g_http_status)) {
      fs_retry(FS_DELETE, partial);
      fail(MSG_PART_FAILED, n, total);
    }
    spent = target.have >= most + DOWNLOAD_PROGRESS_BYTES ? 1 : spent + 1;
    if (target.have > most) most = target.have;
    if (spent == DOWNLOAD_ATTEMPTS) {
      // What arrived stays for the next run, as the message promises.
      if (target.have == 0) fs_retry(FS_DELETE, partial);
      fail(MSG_PART_SERVERS_FAILING, n, total);
    }
  }
}

// Downloads the archive and verifies it; on success the archive is at its
// archive path. Ends the run through fail otherwise.
static void download_part(const PartEntry* p, int n, int total, const wchar_t* archive) {
  wchar_t partial[PATH_UNITS];
  WFMT(partial, L"%ls.part", archive);
  char digest[65] = {};
  for (int fresh = 0;; fresh++) {
    int resumed = fetch_part(p, n, total, partial, digest);
    if (strcmp(digest, p->sha256) == 0) break;
    fs_retry(FS_DELETE, partial);
    // Bytes kept from before may not be what the host holds now (a disk
    // that lost them, a file replaced between runs): they cost one
    // download from the start before the download itself is blamed.
    if (!resumed || fresh) fail(MSG_PART_CHECKSUM, n, total);
  }
  place_archive(partial, archive, n, total);
}

void acquire_part(RunState* run, unsigned i) {
  const PartEntry* p = &run->list.parts[i];
  int n = (int)i + 1, total = (int)run->list.part_count;
  if (keep_unchanged(run, p)) {
    status(MSG_PART_KEPT, n, total);
    return;
  }
  // "<downloads>\<sha256>.zip.part" must fit whole: a cut name would be
  // another file's, and the verified archive would be deleted in its place.
  if (wcslen(g_downloads_dir) + 1 + 64 + 4 + 5 >= PATH_UNITS)
    fail(MSG_PATH_TOO_DEEP, n, total, g_downloads_dir);
  wchar_t sha[65], archive[PATH_UNITS];
  WIDEN(sha, p->sha256);
  WFMT(archive, L"%ls\\%ls.zip", g_downloads_dir, sha);
  char digest[65] = {};
  if (!(path_exists(archive) && file_sha256(archive, digest) && strcmp(digest, p->sha256) == 0))
    download_part(p, n, total, archive);
  unpack_part(run, i, archive);
}
