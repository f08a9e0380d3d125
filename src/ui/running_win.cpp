// The second setup's side of the install guard: no window of its own, only
// the one that already runs brought forward.
#include "ui/running_win.h"

#include <windows.h>

#include "ui/ui.h"

#define SETUP_RUNNING_TEXT                                                                    \
  L"The Brisquel Builder setup is already running. Wait for it to finish; it starts the " \
  L"builder when it is done."

void mark_setup_window(uint64_t key) {
  if (g_win) SetWindowLongPtrW(g_win, GWLP_USERDATA, (LONG_PTR)key);
}

static HWND find_setup_window(uint64_t key) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, SETUP_WINDOW_CLASS, nullptr)) != nullptr) {
    if ((uint64_t)GetWindowLongPtrW(w, GWLP_USERDATA) == key) return w;
  }
  return nullptr;
}

int show_running_setup(uint64_t key) {
  // The other setup takes the guard before it opens its window, and tags
  // the window once its worker starts: give it a moment.
  for (int tries = 0; tries < 50; tries++) {
    HWND w = find_setup_window(key);
    if (w) {
      if (IsIconic(w)) ShowWindow(w, SW_RESTORE);
      // Its error box, when one is up, is what the user must see.
      SetForegroundWindow(GetLastActivePopup(w));
      return 0;
    }
    Sleep(100);
  }
  MessageBoxW(nullptr, SETUP_RUNNING_TEXT, SETUP_CAPTION, MB_ICONINFORMATION | MB_OK);
  return 0;
}
