// The end of the run: commit, records, pruning, builder start.
#include <windows.h>

#include <string.h>

#include "base/cmdline.h"
#include "base/text_win.h"
#include "install/guard_win.h"
#include "install/messages.h"
#include "install/run_win.h"
#include "install/sweep_win.h"
#include "setuplist/part_folder.h"
#include "ui/ui.h"

static void commit(RunState* run) {
  wchar_t staged_run[PATH_UNITS];
  WFMT(staged_run, L"%ls\\%ls", run->staging_dir, run->run);
  to_backslashes(staged_run);
  if (!path_exists(staged_run)) fail(MSG_BUILDER_MISSING, staged_run, g_data_root);
  if (!fs_retry(FS_MOVE, run->staging_dir, run->version_dir))
    fail(MSG_COMMIT_FAILED, run->version_dir);
  // Written last: its presence says the whole version is in place.
  write_marker(run->installed_txt, run->list.tag);
  write_parts(run->version_dir, run->list.parts, run->list.part_count);
}

// Nonzero when the file holds exactly the parts record of this list.
static int holds_parts_record(const wchar_t* path, const SetupList* list) {
  char want[MAX_PARTS * 65 + 1];
  size_t len = parts_record_text(list->parts, list->part_count, want);
  char have[MAX_PARTS * 65 + 2];
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (!ReadFile(f, have, sizeof have, &got, nullptr)) got = 0;
  CloseHandle(f);
  return got == len && memcmp(have, want, len) == 0;
}

static void move_markers(RunState* run) {
  wchar_t parts[PATH_UNITS], current[PATH_UNITS], previous[PATH_UNITS];
  WFMT(parts, L"%ls\\parts.txt", run->version_dir);
  // Not only a missing record is written again: a run killed inside
  // write_parts leaves the file created but short (often empty), and such
  // a record would cost every later update the moves of unchanged parts.
  if (!holds_parts_record(parts, &run->list))
    write_parts(run->version_dir, run->list.parts, run->list.part_count);

  WFMT(current, L"%ls\\current.txt", run->versions_dir);
  WFMT(previous, L"%ls\\previous.txt", run->versions_dir);
  char old_tag[128];
  read_marker(current, old_tag);
  if (strcmp(old_tag, run->list.tag) == 0) return;
  if (old_tag[0]) write_marker(previous, old_tag);
  write_marker(current, run->list.tag);
}

// Renames every version directory but the current one to its ".gone"
// name, so that a half-removed tree is never taken for a version, and
// leaves those trees, and any found under such a name, for removal once
// the builder runs.
static void prune_versions(RunState* run) {
  wchar_t pattern[PATH_UNITS];
  WFMT(pattern, L"%ls\\*", run->versions_dir);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(pattern, &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const wchar_t* name = fd.cFileName;
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
    char narrow[260];
    int n = WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr);
    if (n > 0 && strcmp(narrow, run->list.tag) == 0) continue;
    wchar_t path[PATH_UNITS], gone[PATH_UNITS];
    WFMT(path, L"%ls\\%ls", run->versions_dir, name);
    WFMT(gone, L"%ls.gone", path);
    size_t len = wcslen(name);
    if (len > 5 && wcscmp(name + len - 5, L".gone") == 0) {
      sweep_later(path);
    } else if (fs_retry(FS_MOVE, path, gone)) {
      sweep_later(gone);
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

void finish_run(RunState* run, int installed) {
  if (installed) commit(run);
  move_markers(run);
  prune_versions(run);
  rmtree(g_downloads_dir);

  // Nothing more changes on disk but the removal of ".gone" trees, which a
  // second setup may share harmlessly; a builder that starts a setup at
  // once must not find this run still holding the data root.
  release_install_guard();
  status(MSG_STARTING_BUILDER);
  wchar_t folder[PATH_UNITS];
  COPY_CUT_W(folder, run->run_target);
  wchar_t* cut = wcsrchr(folder, L'\\');
  if (cut) *cut = 0;
  static wchar_t command[4096];
  WFMT(command, L"\"%ls\" %ls", run->run_target, g_cmdline);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &si, &pi))
    fail(MSG_CANNOT_START, run->run_target);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  close_and_sweep();
}
