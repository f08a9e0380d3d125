// Keeps the Wine desktop open for as long as its standard input stays open.
//   hold_desktop.exe < pipe
// Wine closes a desktop a few seconds after the last program that used it
// has ended, and the next program with a window then waits for a new one
// (about 1.3 s on the bench machine). A Windows desktop never goes away, so
// the benchmarks hold it open with this program: otherwise a setup run that
// followed a pause (a native curl run, say) paid for the desktop's start.
#include <windows.h>

int wmain() {
  // Any use of the desktop makes this process one of its users.
  if (!GetDesktopWindow()) return 1;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  DWORD got = 0;
  // Ends when the bench closes the pipe or goes away.
  while (in && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
  }
  return 0;
}
