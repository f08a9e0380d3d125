// The progress window and the channel through which the worker reports.
#pragma once
#include <windows.h>

#include <atomic>

// The setup's window class and the caption of its window and boxes.
#define SETUP_WINDOW_CLASS L"TamrockSetup"
#define SETUP_CAPTION L"Brisquel Builder setup"

#define WM_SETUP_STATUS (WM_APP + 1)
#define WM_SETUP_CLOSE (WM_APP + 2)

extern HWND g_win;   // main window
extern HWND g_text;  // status label
extern HWND g_bar;   // progress bar

// Current status text; written by status() on the worker, shown by wndproc.
extern wchar_t g_status[512];

// Progress: negative = marquee, 0 or more = percent. Exchanged and loaded
// atomically (sequentially consistent) across the two threads.
extern std::atomic<int> g_percent;

// Registers nothing: the caller has registered SETUP_WINDOW_CLASS with wndproc.
// Creates the window, its label and bar, starts the marquee and shows it.
void open_window(HINSTANCE instance, int show);

LRESULT CALLBACK wndproc(HWND win, UINT msg, WPARAM wp, LPARAM lp);

// Worker thread only. Formats into g_status (cut at 511 units) and posts
// WM_SETUP_STATUS.
void status(const wchar_t* format, ...);

// Worker thread only. Shows the error box (cut at 1023 units), posts
// WM_SETUP_CLOSE and ends the worker thread with exit code 1.
[[noreturn]] void fail(const wchar_t* format, ...);
