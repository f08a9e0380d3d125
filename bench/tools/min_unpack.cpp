// The floor for the setup's unpacking: the system tar.exe run on each
// archive, hidden, one after the other, and waited for; nothing else.
//   min_unpack.exe ARCHIVE DESTDIR [ARCHIVE DESTDIR]...
// Every DESTDIR must exist. Prints one line per archive, "<exit code>
// <ms>", then the wall time of all of them, "ms <wall>". Exits 1 when a
// tar could not be started or did not end with 0.
#include <windows.h>

#include <stdio.h>

static double elapsed_ms(const LARGE_INTEGER& from, const LARGE_INTEGER& freq) {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return (t.QuadPart - from.QuadPart) * 1000.0 / freq.QuadPart;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc % 2 == 0) {
    fprintf(stderr, "usage: min_unpack.exe ARCHIVE DESTDIR [ARCHIVE DESTDIR]...\n");
    return 2;
  }
  wchar_t system_dir[MAX_PATH];
  UINT len = GetSystemDirectoryW(system_dir, MAX_PATH);
  if (len == 0 || len >= MAX_PATH) return 2;
  LARGE_INTEGER freq, t0;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  int failed = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    LARGE_INTEGER t1;
    QueryPerformanceCounter(&t1);
    // The command the setup gives tar, started the way the setup starts it.
    wchar_t command[1024];
    _snwprintf(command, 1023, L"\"%ls\\tar.exe\" -xf \"%ls\" -C \"%ls\"", system_dir, argv[i],
               argv[i + 1]);
    command[1023] = 0;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    DWORD code = 0xFFFFFFFF;
    if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                       argv[i + 1], &si, &pi)) {
      WaitForSingleObject(pi.hProcess, INFINITE);
      GetExitCodeProcess(pi.hProcess, &code);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    failed += code != 0;
    printf("%lu %.1f\n", code, elapsed_ms(t1, freq));
  }
  printf("ms %.1f\n", elapsed_ms(t0, freq));
  return failed ? 1 : 0;
}
