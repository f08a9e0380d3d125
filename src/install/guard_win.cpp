// The install guard: a named object whose existence means "a setup is
// installing into this data root". Only its existence is asked, never its
// ownership, so the handle may be closed from any thread; the system closes
// it when the process ends, killed or not, and the object goes with the
// last handle. Nothing on disk is needed: the data root need not exist yet.
#include "install/guard_win.h"

#include <windows.h>

#include "base/bounds.h"
#include "install/fs_win.h"
#include "install/guard_key.h"

uint64_t g_guard_key;
static HANDLE g_guard;

int take_install_guard() {
  wchar_t root[PATH_UNITS];
  // No data root: the run ends with its own message before it changes anything.
  if (!settle_data_root(root)) return 1;
  wchar_t full[PATH_UNITS];
  DWORD n = GetFullPathNameW(root, dimof(full), full, nullptr);
  if (n == 0 || n >= dimof(full)) COPY_CUT_W(full, root);
  // File names compare without case: one folder, one guard.
  wchar_t upper[PATH_UNITS];
  if (!LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, full, -1, upper, dimof(upper),
                     nullptr, nullptr, 0))
    COPY_CUT_W(upper, full);
  g_guard_key = guard_key(upper);

  wchar_t name[64];
  guard_object_name(g_guard_key, name, dimof(name));
  // "Global\" reaches setups of other sessions; a setup of another user
  // meets an object it may not open and is told so by the refusal.
  HANDLE h = CreateMutexW(nullptr, FALSE, name);
  DWORD err = GetLastError();
  if (h && err != ERROR_ALREADY_EXISTS) {
    g_guard = h;
    return 1;
  }
  if (h) {
    CloseHandle(h);
    return 0;
  }
  if (err == ERROR_ACCESS_DENIED) return 0;
  // No named object to be had at all: installing unguarded, as before,
  // beats never installing.
  return 1;
}

void release_install_guard() {
  if (!g_guard) return;
  CloseHandle(g_guard);
  g_guard = nullptr;
}
