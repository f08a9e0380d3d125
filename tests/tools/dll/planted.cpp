// A DLL as a web page could leave in a Downloads folder: copied under the
// name of a system DLL, it proves that its code ran by leaving
// "<its own path>.ran" holding the path of the process that loaded it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t mark[300], exe[260];
  DWORD n = GetModuleFileNameW(self, mark, 290);
  DWORD m = GetModuleFileNameW(nullptr, exe, 260);
  if (n == 0 || n >= 290 || m >= 260) return TRUE;
  lstrcpynW(mark + n, L".ran", 5);
  HANDLE f = CreateFileW(mark, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    DWORD done;
    WriteFile(f, exe, m * sizeof(wchar_t), &done, nullptr);
    WriteFile(f, L"\n", sizeof(wchar_t), &done, nullptr);
    CloseHandle(f);
  }
  return TRUE;
}
