// The removal of replaced versions after the builder's start.
#include "install/sweep_win.h"

#include <atomic>

#include "base/bounds.h"
#include "install/fs_win.h"
#include "ui/ui.h"

#define SWEEP_TREES 16

static wchar_t g_trees[SWEEP_TREES][PATH_UNITS];
static int g_tree_count;
// Set by the worker before it asks the window to close; the window's end
// is signalled back through g_window_gone.
static std::atomic<HANDLE> g_window_gone{nullptr};

void sweep_later(const wchar_t* path) {
  if (g_tree_count == SWEEP_TREES) return;
  COPY_CUT_W(g_trees[g_tree_count], path);
  g_tree_count++;
}

void close_and_sweep() {
  // Without an event the window cannot say when it has gone: the trees are
  // left for the next run rather than removed under an open window.
  HANDLE gone = g_tree_count ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  g_window_gone.store(gone);
  PostMessageW(g_win, WM_SETUP_CLOSE, 0, 0);
  if (!gone) ExitThread(0);
  // The window thread ends its loop at once; the bound only guards
  // against a thread that never gets there.
  if (WaitForSingleObject(gone, 10000) != WAIT_OBJECT_0) ExitThread(0);
  ULONGLONG deadline = GetTickCount64() + SWEEP_MS;
  for (int i = 0; i < g_tree_count && GetTickCount64() < deadline; i++)
    rmtree(g_trees[i], deadline);
  ExitThread(0);
}

void wait_for_sweep(HANDLE worker) {
  HANDLE gone = g_window_gone.load();
  if (!gone || !worker) return;
  SetEvent(gone);
  // A little past the removal's own bound: the process never outstays it.
  WaitForSingleObject(worker, SWEEP_MS + 5000);
}
