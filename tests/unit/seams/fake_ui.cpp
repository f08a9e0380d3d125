// The status channel without a window: lines and the fatal message are
// recorded instead of shown.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "base/text_win.h"
#include "ui/status_lock_win.h"
#include "ui/ui.h"
#include "unit/seams/fakes.h"

wchar_t g_status[512];
std::atomic<int> g_percent{-1};

// fail() ends the calling thread; on the test's own thread that would
// leave the test program running without its main thread.
static const DWORD g_main_thread = GetCurrentThreadId();

void copy_status(wchar_t (&out)[512]) { COPY_CUT_W(out, g_status); }

void status(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  wfmt_cut_v(g_status, dimof(g_status), format, ap);
  va_end(ap);
  fake::detail::note_status(g_status);
}

void fail(const wchar_t* format, ...) {
  // Same bound as the real error box.
  wchar_t text[1024];
  va_list ap;
  va_start(ap, format);
  wfmt_cut_v(text, dimof(text), format, ap);
  va_end(ap);
  fake::detail::note_fail(text);
  if (GetCurrentThreadId() == g_main_thread) {
    fprintf(stderr, "fail() on the test's main thread: %ls\n", text);
    abort();
  }
  ExitThread(1);
}
