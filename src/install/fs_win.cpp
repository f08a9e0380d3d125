// File-system helpers of the install run and the data root.
#include "install/fs_win.h"

#include <windows.h>
#include <shlobj.h>

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

// fs_retry, with waits only while *patient is nonzero; a run of waits
// that ends in a refusal clears it.
static int retry_op(FsOp op, const wchar_t* path, const wchar_t* to, int* patient) {
  int waited = 0;
  for (int k = 0;; k++) {
    if (attempt(op, path, to)) return 1;
    DWORD error = GetLastError();
    if (!*patient || !fs_error_is_transient(error)) {
      SetLastError(error);
      return 0;
    }
    if (k == FS_ATTEMPTS - 1) {
      *patient = 0;
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
  int patient = 1;
  return retry_op(op, path, to, &patient);
}

static int rmtree_walk(const wchar_t* path, int* patient);

int rmtree(const wchar_t* path) {
  int patient = 1;
  return rmtree_walk(path, &patient);
}

static int rmtree_walk(const wchar_t* path, int* patient) {
  // A path cut at the bound names something else: the pattern of a path
  // of 259 units is the path itself, which the search then finds as its
  // own entry, and a cut child may be a sibling or an ancestor. Nothing
  // that does not fit is walked or removed (a walk into itself would end
  // only when the stack does).
  if (wcslen(path) + 2 >= PATH_UNITS) return 0;
  wchar_t pattern[PATH_UNITS];
  WFMT(pattern, L"%ls\\*", path);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(pattern, &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const wchar_t* name = fd.cFileName;
      if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
      if (wcslen(path) + 1 + wcslen(name) >= PATH_UNITS) continue;
      wchar_t child[PATH_UNITS];
      WFMT(child, L"%ls\\%ls", path, name);
      DWORD kind = fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
      if (kind == FILE_ATTRIBUTE_DIRECTORY) {
        rmtree_walk(child, patient);
      } else if (kind & FILE_ATTRIBUTE_DIRECTORY) {
        // A junction or directory link: remove the link, never what it
        // points at (it may be the user's own data).
        retry_op(FS_REMOVE_DIR, child, nullptr, patient);
      } else {
        SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
        retry_op(FS_DELETE, child, nullptr, patient);
      }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  return retry_op(FS_REMOVE_DIR, path, nullptr, patient);
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
