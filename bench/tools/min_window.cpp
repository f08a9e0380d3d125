// The floor for a run that finds its version complete, as a window
// program must do it: the setup's manifest and imports, the common
// controls, a class and a shown window with a label and a marquee bar;
// then a worker thread makes one WinHTTP GET, starts the given program
// and closes the window. No data folders, no list checks, no markers.
//   min_window.exe URL PROGRAM
// Exit code 0 when the GET answered 200 and the program started.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <winhttp.h>

#include <stdio.h>

static const wchar_t* g_url;
static const wchar_t* g_program;
static HWND g_main;
static int g_ok;

static int get_once(const wchar_t* url) {
  static BYTE buf[65536];
  wchar_t host[256], path[1024];
  URL_COMPONENTS uc = {};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = 256;
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = 1024;
  if (!WinHttpCrackUrl(url, 0, 0, &uc)) return 0;
  // The access type the setup must ask for.
  HINTERNET s = WinHttpOpen(L"min-window", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0);
  HINTERNET c = s ? WinHttpConnect(s, host, uc.nPort, 0) : nullptr;
  HINTERNET r = c ? WinHttpOpenRequest(c, L"GET", path, nullptr, nullptr, nullptr,
                                       uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE
                                                                           : 0)
                  : nullptr;
  int ok = r && WinHttpSendRequest(r, nullptr, 0, nullptr, 0, 0, 0) &&
           WinHttpReceiveResponse(r, nullptr);
  if (ok) {
    DWORD code = 0, size = sizeof code;
    WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &code,
                        &size, nullptr);
    ok = code == 200;
  }
  for (DWORD n = 1; ok && n;)
    if (!WinHttpReadData(r, buf, sizeof buf, &n)) ok = 0;
  if (r) WinHttpCloseHandle(r);
  if (c) WinHttpCloseHandle(c);
  if (s) WinHttpCloseHandle(s);
  return ok;
}

static DWORD WINAPI worker(LPVOID) {
  if (get_once(g_url)) {
    static wchar_t command[1100];
    _snwprintf(command, 1099, L"\"%ls\" ", g_program);
    command[1099] = 0;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      g_ok = 1;
    }
  }
  PostMessageW(g_main, WM_APP + 2, 0, 0);
  return 0;
}

static LRESULT CALLBACK proc(HWND win, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  if (msg == WM_APP + 2) {
    DestroyWindow(win);
    return 0;
  }
  return DefWindowProcW(win, msg, wp, lp);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3) return 2;
  g_url = argv[1];
  g_program = argv[2];

  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  WNDCLASSW wc = {};
  wc.lpfnWndProc = proc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  wc.lpszClassName = L"MinWindow";
  RegisterClassW(&wc);
  g_main = CreateWindowExW(0, L"MinWindow", L"min_window", WS_CAPTION | WS_SYSMENU, 400, 400, 460,
                           140, nullptr, nullptr, instance, nullptr);
  HWND text = CreateWindowExW(0, L"STATIC", L"Starting...", WS_CHILD | WS_VISIBLE, 16, 16, 412, 22,
                              g_main, nullptr, instance, nullptr);
  HWND bar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 16,
                             48, 412, 20, g_main, nullptr, instance, nullptr);
  HFONT font = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0,
                           L"Segoe UI");
  SendMessageW(text, WM_SETFONT, (WPARAM)font, TRUE);
  SendMessageW(bar, PBM_SETMARQUEE, 1, 30);
  ShowWindow(g_main, show);

  HANDLE t = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
  if (t) CloseHandle(t);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return g_ok ? 0 : 1;
}
