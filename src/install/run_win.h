// The install run on the worker thread, stage by stage.
#pragma once
#include <windows.h>

#include "install/fs_win.h"
#include "setuplist/setup_list.h"

// Everything the stages share, owned by the worker thread.
struct RunState {
  SetupList list;
  int repair;
  wchar_t tag[128];
  wchar_t run[PATH_UNITS];
  wchar_t versions_dir[PATH_UNITS];
  wchar_t version_dir[PATH_UNITS];
  wchar_t staging_dir[PATH_UNITS];
  wchar_t installed_txt[PATH_UNITS];
  wchar_t run_target[PATH_UNITS];
};

// Worker thread entry.
DWORD WINAPI work(LPVOID);

// Fetches the setup list into b with fallback and retries; ends the run
// through fail when it cannot.
void fetch_setup_list(struct MemBuffer* b);

// Gets part index i ready (moved, cached or downloaded) and unpacked.
void acquire_part(RunState* run, unsigned i);

// Unpacks a verified archive of part i into the staging directory.
void unpack_part(RunState* run, unsigned i, const wchar_t* archive);

// Commit (when installed is nonzero), records, pruning, builder start.
[[noreturn]] void finish_run(RunState* run, int installed);

// Waits between attempts; a seam so tests need not sleep.
void pause_seconds(int seconds);
