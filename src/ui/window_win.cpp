// The one window: a status line and a progress bar.
#include <windows.h>
#include <commctrl.h>

#include "ui/status_lock_win.h"
#include "ui/ui.h"

HWND g_win;
HWND g_text;
HWND g_bar;

enum {
  kWidth = 460,
  kHeight = 140,
  kMarqueeMs = 30,
};

// The manifest declares the setup DPI-aware, so Windows does not stretch the
// window: the sizes above and below are for 96 DPI and are scaled here to
// the system DPI (what the screen DC reports; gdi32 and user32 are Known
// DLLs, so asking adds no import that could be planted).
static int system_dpi() {
  HDC screen = GetDC(nullptr);
  if (!screen) return 96;
  int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

// Rounds half away from zero, as the system's own scaling does; exact at 96.
static int px(int v, int dpi) { return MulDiv(v, dpi, 96); }

void open_window(HINSTANCE instance, int show) {
  int dpi = system_dpi();
  int width = px(kWidth, dpi), height = px(kHeight, dpi);
  int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  g_win = CreateWindowExW(0, SETUP_WINDOW_CLASS, SETUP_CAPTION,
                          WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height, nullptr,
                          nullptr, instance, nullptr);
  g_text =
      CreateWindowExW(0, L"STATIC", L"Starting...", WS_CHILD | WS_VISIBLE, px(16, dpi), px(16, dpi),
                      px(412, dpi), px(22, dpi), g_win, nullptr, instance, nullptr);
  g_bar =
      CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, px(16, dpi),
                      px(48, dpi), px(412, dpi), px(20, dpi), g_win, nullptr, instance, nullptr);
  // Lives as long as the process; never deleted.
  HFONT font =
      CreateFontW(px(-15, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                  OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, L"Segoe UI");
  SendMessageW(g_text, WM_SETFONT, (WPARAM)font, TRUE);
  SendMessageW(g_bar, PBM_SETMARQUEE, 1, kMarqueeMs);
  ShowWindow(g_win, show);
}

// A progress bar ignores PBM_SETPOS while it has the marquee style, so
// the style itself is switched along with the animation. A download posts
// once per 64 KiB chunk, mostly with the same text and percentage: only a
// change is passed on, so that the window thread does not repaint for
// nothing while the worker streams.
static void show_progress(int percent) {
  static int shown = -1;
  LONG_PTR style = GetWindowLongPtrW(g_bar, GWL_STYLE);
  if (percent < 0) {
    if (!(style & PBS_MARQUEE)) SetWindowLongPtrW(g_bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(g_bar, PBM_SETMARQUEE, 1, kMarqueeMs);
    shown = -1;
    return;
  }
  if (percent == shown && !(style & PBS_MARQUEE)) return;
  SendMessageW(g_bar, PBM_SETMARQUEE, 0, 0);
  if (style & PBS_MARQUEE) SetWindowLongPtrW(g_bar, GWL_STYLE, style & ~(LONG_PTR)PBS_MARQUEE);
  SendMessageW(g_bar, PBM_SETPOS, (WPARAM)percent, 0);
  shown = percent;
}

static void show_status() {
  static wchar_t shown[dimof(g_status)];
  wchar_t text[dimof(g_status)];
  copy_status(text);
  if (wcscmp(text, shown) == 0) return;
  SetWindowTextW(g_text, text);
  COPY_CUT_W(shown, text);
}

LRESULT CALLBACK wndproc(HWND win, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_SETUP_CLOSE:
      DestroyWindow(win);
      return 0;
    case WM_SETUP_STATUS:
      show_status();
      show_progress(g_percent.load());
      return 0;
  }
  return DefWindowProcW(win, msg, wp, lp);
}
