// The worker's side of the status channel: status lines and fatal errors.
#include <windows.h>

#include <stdarg.h>

#include "base/text_win.h"
#include "ui/status_lock_win.h"
#include "ui/ui.h"

wchar_t g_status[512];
std::atomic<int> g_percent{-1};

// The worker formats into g_status while the window thread may be copying
// the previous text out: both hold this lock for the whole copy, so the
// label always gets one complete text, and the last post shows the last one.
static SRWLOCK g_status_lock = SRWLOCK_INIT;

void copy_status(wchar_t (&out)[512]) {
  AcquireSRWLockShared(&g_status_lock);
  COPY_CUT_W(out, g_status);
  ReleaseSRWLockShared(&g_status_lock);
}

void status(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  AcquireSRWLockExclusive(&g_status_lock);
  wfmt_cut_v(g_status, dimof(g_status), format, ap);
  ReleaseSRWLockExclusive(&g_status_lock);
  va_end(ap);
  PostMessageW(g_win, WM_SETUP_STATUS, 0, 0);
}

void fail(const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list ap;
  va_start(ap, format);
  wfmt_cut_v(text, dimof(text), format, ap);
  va_end(ap);
  MessageBoxW(g_win, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
  PostMessageW(g_win, WM_SETUP_CLOSE, 1, 0);
  ExitThread(1);
}
