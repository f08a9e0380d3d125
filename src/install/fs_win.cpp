// File-system helpers of the install run and the data root.
#include "install/fs_win.h"

#include <windows.h>
#include <shlobj.h>

#include <wchar.h>

#include "base/text_win.h"
#include "install/messages.h"
#include "install/retry.h"
#include "ui/ui.h"

wchar_t g_data_root[PATH_UNITS];
wchar_t g_downloads_dir[PATH_UNITS];

int settle_data_root(wchar_t root[PATH_UNITS]) {
  wchar_t appdata[MAX_PATH];
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appdata)))
    return 0;
  // A folder path near the limit is cut here, never written past the buffer.
  wfmt_cut(root, PATH_UNITS, L"%ls\\BrisquelBuilder", appdata);

  wchar_t base[PATH_UNITS];
  DWORD n = GetEnvironmentVariableW(L"TAMROCK_SETUP_BASE", base, dimof(base));
  if (n > 0 && n < dimof(base)) {
    copy_cut_w(root, PATH_UNITS, base);
  } else if (n >= dimof(base)) {
    // Longer than a path may be: keep its first 259 units, as documented.
    static wchar_t long_base[32768];
    if (GetEnvironmentVariableW(L"TAMROCK_SETUP_BASE", long_base, dimof(long_base)) > 0) {
      long_base[dimof(long_base) - 1] = 0;
      copy_cut_w(root, PATH_UNITS, long_base);
    }
  }
  return 1;
}

void prepare_data_root() {
  if (!settle_data_root(g_data_root)) fail(L"No local application data folder.");
  WFMT(g_downloads_dir, L"%ls\\downloads", g_data_root);
  make_dirs(g_downloads_dir);
}

void make_dirs(const wchar_t* path) {
  wchar_t scratch[PATH_UNITS];
  COPY_CUT_W(scratch, path);
  // The first three units are never a separator to stop at: "C:\" itself
  // is not a directory to create.
  for (size_t i = 3; i < dimof(scratch) && scratch[i]; i++) {
    if (scratch[i] != L'\\') continue;
    scratch[i] = 0;
    CreateDirectoryW(scratch, nullptr);
    scratch[i] = L'\\';
  }
  CreateDirectoryW(scratch, nullptr);
}

static int attempt(FsOp op, const wchar_t* path, const wchar_t* to) {
  switch (op) {
    case FS_MOVE:
      return MoveFileW(path, to) != 0;
    case FS_DELETE:
      return DeleteFileW(path) != 0;
    case FS_REMOVE_DIR:
      return RemoveDirectoryW(path) != 0;
  }
  return 0;
}

// How patient a run of removals still is: waits only while patient is
// nonzero (a run of waits that ends in a refusal clears it), and none
// once the tick count reaches deadline (0: no deadline).
struct Patience {
  int patient;
  ULONGLONG deadline;
};

static int out_of_time(const Patience* p) {
  return p->deadline && GetTickCount64() >= p->deadline;
}

static int retry_op(FsOp op, const wchar_t* path, const wchar_t* to, Patience* p) {
  int waited = 0;
  for (int k = 0;; k++) {
    if (attempt(op, path, to)) return 1;
    DWORD error = GetLastError();
    if (!p->patient || !fs_error_is_transient(error)) {
      SetLastError(error);
      return 0;
    }
    if (k == FS_ATTEMPTS - 1 || out_of_time(p)) {
      p->patient = 0;
      SetLastError(error);
      return 0;
    }
    if (waited < FS_WAIT_SHOWN_MS && waited + fs_waits_ms[k] >= FS_WAIT_SHOWN_MS) {
      const wchar_t* name = wcsrchr(path, L'\\');
      status(MSG_WAITING_FOR_FILE, name ? name + 1 : path);
    }
    pause_ms(fs_waits_ms[k]);
    waited += fs_waits_ms[k];
  }
}

int fs_retry(FsOp op, const wchar_t* path, const wchar_t* to) {
  Patience p = {1, 0};
  return retry_op(op, path, to, &p);
}

// The longest path Windows takes, in its "\\?\" form, with a terminator.
#define LONG_UNITS 32768
// The deepest a walk can go within it: one level per "\x".
#define WALK_LEVELS (LONG_UNITS / 2)

// The "\\?\" form of path, which file calls take past 259 units. That form
// is taken literally (no relative part, no "/", no doubled separator), so
// the path is made absolute and plain first. 0 when it does not fit.
static int long_form(const wchar_t* path, wchar_t (&out)[LONG_UNITS]) {
  static wchar_t full[LONG_UNITS];
  if (wcsncmp(path, L"\\\\?\\", 4) == 0) return copy_cut_w(out, LONG_UNITS, path) == wcslen(path);
  DWORD n = GetFullPathNameW(path, LONG_UNITS, full, nullptr);
  if (n == 0 || n >= LONG_UNITS - 8) return 0;
  if (full[0] == L'\\' && full[1] == L'\\')
    wfmt_cut(out, LONG_UNITS, L"\\\\?\\UNC\\%ls", full + 2);
  else
    wfmt_cut(out, LONG_UNITS, L"\\\\?\\%ls", full);
  return 1;
}

// Starts the enumeration of the directory whose path is path[0..len);
// the first entry goes into fd.
static HANDLE open_level(wchar_t (&path)[LONG_UNITS], size_t len, WIN32_FIND_DATAW* fd) {
  path[len] = L'\\';
  path[len + 1] = L'*';
  path[len + 2] = 0;
  HANDLE find = FindFirstFileW(path, fd);
  path[len] = 0;
  return find;
}

// Walks the tree at path depth first without recursion, so that no depth
// the file system allows runs out of stack: one open enumeration per level
// on a fixed stack, one path buffer that each level extends in place.
// Only the worker thread removes trees, one at a time.
static int walk_tree(wchar_t (&path)[LONG_UNITS], Patience* p) {
  static HANDLE finds[WALK_LEVELS];
  static size_t lens[WALK_LEVELS];
  WIN32_FIND_DATAW fd;
  int depth = 0, fresh = 1, result = 0;
  lens[0] = wcslen(path);
  finds[0] = open_level(path, lens[0], &fd);
  while (depth >= 0) {
    size_t len = lens[depth];
    if (out_of_time(p)) {
      // Bounded: what is left stays for a later run.
      for (; depth >= 0; depth--)
        if (finds[depth] != INVALID_HANDLE_VALUE) FindClose(finds[depth]);
      return 0;
    }
    int more = finds[depth] != INVALID_HANDLE_VALUE && (fresh || FindNextFileW(finds[depth], &fd));
    fresh = 0;
    if (!more) {
      if (finds[depth] != INVALID_HANDLE_VALUE) FindClose(finds[depth]);
      path[len] = 0;
      result = retry_op(FS_REMOVE_DIR, path, nullptr, p);
      depth--;
      continue;
    }
    const wchar_t* name = fd.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    size_t n = wcslen(name);
    // Room for the child's own "\*" too; nothing is ever cut.
    if (len + 1 + n + 2 >= LONG_UNITS) continue;
    path[len] = L'\\';
    wmemcpy(path + len + 1, name, n + 1);
    DWORD kind = fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind == FILE_ATTRIBUTE_DIRECTORY) {
      if (depth + 1 < WALK_LEVELS) {
        depth++;
        lens[depth] = len + 1 + n;
        finds[depth] = open_level(path, lens[depth], &fd);
        fresh = 1;
      }
    } else if (kind & FILE_ATTRIBUTE_DIRECTORY) {
      // A junction or directory link: remove the link, never what it
      // points at (it may be the user's own data).
      retry_op(FS_REMOVE_DIR, path, nullptr, p);
    } else {
      SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
      retry_op(FS_DELETE, path, nullptr, p);
    }
  }
  return result;
}

int rmtree(const wchar_t* path, unsigned long long deadline) {
  // The setup's own paths are cut at 259 units, and a cut path names
  // something else: a sibling, or an ancestor such as the data root
  // itself. Only what lies below a whole path is walked.
  if (wcslen(path) + 2 >= PATH_UNITS) return 0;
  static wchar_t long_path[LONG_UNITS];
  if (!long_form(path, long_path)) return 0;
  Patience p = {1, deadline};
  return walk_tree(long_path, &p);
}

void read_marker(const wchar_t* path, char text[128]) {
  text[0] = 0;
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD got = 0;
  if (!ReadFile(f, text, 127, &got, nullptr)) got = 0;
  CloseHandle(f);
  if (got > 127) got = 127;
  text[got] = 0;
  for (DWORD i = 0; i < got; i++) {
    if (text[i] == '\r' || text[i] == '\n') {
      text[i] = 0;
      break;
    }
  }
}

void write_marker(const wchar_t* path, const char* text) {
  HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD len = 0;
  while (text[len]) len++;
  DWORD wrote = 0;
  WriteFile(f, text, len, &wrote, nullptr);
  CloseHandle(f);
}

void to_backslashes(wchar_t* path) {
  for (; *path; path++)
    if (*path == L'/') *path = L'\\';
}

int path_exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }
