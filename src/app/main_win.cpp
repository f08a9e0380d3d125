// Process entry: game stub or web setup, chosen by our own file name.
#include <windows.h>
#include <commctrl.h>

#include "base/cmdline.h"
#include "app/launch_win.h"
#include "app/system_dlls_win.h"
#include "base/text_win.h"
#include "install/guard_win.h"
#include "install/run_win.h"
#include "install/sweep_win.h"
#include "ui/running_win.h"
#include "ui/ui.h"

static int is_game_name(const wchar_t* name) {
  return CompareStringOrdinal(name, -1, L"Brisquel.exe", -1, TRUE) == CSTR_EQUAL ||
         CompareStringOrdinal(name, -1, L"tamrock.exe", -1, TRUE) == CSTR_EQUAL;
}

// Copied next to a game: hand the folder to the installed builder, or
// start the game itself from bin.
static int run_game_stub(wchar_t* own_path, const wchar_t* own_name) {
  wchar_t* last = wcsrchr(own_path, L'\\');
  if (last) *last = 0;
  const wchar_t* folder = own_path;
  // The stub's own arguments are not forwarded: only the folder is.
  wfmt_cut(g_cmdline, dimof(g_cmdline) - 1, L"--launch \"%ls\"", folder);
  if (launch_installed()) return 0;

  wchar_t game[260], command[264];
  WFMT(game, L"%ls\\bin\\%ls", folder, own_name);
  WFMT(command, L"\"%ls\"", game);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &si, &pi)) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
  }
  MessageBoxW(nullptr,
              L"The game (bin\\Brisquel.exe) is missing from this folder. Build it again with the "
              L"Brisquel Builder.",
              L"Brisquel", MB_ICONERROR | MB_OK);
  return 1;
}

static int run_setup(HINSTANCE instance, int show) {
  if (cmdline_find(L"--launch") >= 0 && launch_installed()) return 0;
  if (!take_install_guard()) return show_running_setup(g_guard_key);

  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);

  WNDCLASSW wc = {};
  wc.lpfnWndProc = wndproc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
  wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  wc.lpszClassName = SETUP_WINDOW_CLASS;
  RegisterClassW(&wc);

  open_window(instance, show);
  // Without a window nothing could ever end the message loop.
  if (!g_win) return 0;

  HANDLE worker = CreateThread(nullptr, 0, work, nullptr, 0, nullptr);
  if (!worker) {
    // Otherwise the window would say "Starting..." until closed by hand.
    wchar_t text[256];
    WFMT(text, L"Could not start the setup (Windows error %lu).", GetLastError());
    MessageBoxW(g_win, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
    DestroyWindow(g_win);
  }

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // The window has gone; the worker may still be removing replaced versions.
  wait_for_sweep(worker);
  return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR cmdline, int show) {
  // Before anything can load a DLL: never from the current or exe folder.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!load_system_dlls()) return 1;
  set_cmdline(cmdline);

  wchar_t own_path[260] = {};
  GetModuleFileNameW(nullptr, own_path, dimof(own_path));
  own_path[dimof(own_path) - 1] = 0;
  const wchar_t* slash = wcsrchr(own_path, L'\\');
  wchar_t own_name[260];
  COPY_CUT_W(own_name, slash ? slash + 1 : own_path);

  if (is_game_name(own_name) && cmdline_find(L"--") < 0) return run_game_stub(own_path, own_name);
  return run_setup(instance, show);
}
