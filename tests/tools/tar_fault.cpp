// Fault layer in front of the real tar.exe (bsdtar from libarchive), for the
// few tests that need a fault the real tar cannot be made to show. A test
// places this program as the prefix's system tar.exe and the real one
// beside it as bsdtar.exe (harness.Bench.place_tar does both); without a
// control set, every call is handed to bsdtar.exe unchanged: the same
// argument text, standard handles, working directory and exit code.
//
// Controls (the setup's child inherits them):
//   TAR_FAULT_LOG=path          append two UTF-8 lines per run before
//                               anything else: "cmdline: " followed by
//                               GetCommandLineW(), and "cwd: " followed by
//                               the current directory. A test sees that
//                               tar has started, and how.
//   TAR_FAULT_DELAY_MS=N        sleep N ms after logging, before handing on
//                               (4294967295: a tar that never ends), so a
//                               test can kill the setup mid-unpack.
//   TAR_FAULT_STDERR_BYTES=N    write exactly N bytes to standard error and
//                               exit 2 without unpacking: more than a pipe
//                               holds, and a UTF-8 character cut at any
//                               byte. The bytes repeat kFiller below (ASCII,
//                               2-, 3- and 4-byte UTF-8).
// A control set to something other than a decimal number is an error
// (exit 1): a test that mistypes one should fail, not pass by accident.
#include <windows.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

namespace {

// Keep in step with FAULT_STDERR_UNIT in tests/e2e/ziptools.py.
const char kFiller[] = u8"tar.exe: fault layer Grüße ✓ €5 😀 日本語\n";

constexpr size_t kPathCap = 32768;
char g_buf[256 * 1024];

template <typename T, size_t N>
constexpr size_t dimof(T (&)[N]) {
  return N;
}

// Writes a diagnostic line (ASCII text plus an optional wide detail) to
// standard error.
void say(const char* text, const wchar_t* detail = nullptr) {
  char line[1024];
  size_t n = 0;
  for (const char* p = "tar.exe: fault layer: "; *p && n < sizeof(line) - 1; p++) line[n++] = *p;
  for (const char* p = text; *p && n < sizeof(line) - 1; p++) line[n++] = *p;
  if (detail) {
    int got = WideCharToMultiByte(CP_UTF8, 0, detail, -1, line + n, (int)(sizeof(line) - 1 - n),
                                  nullptr, nullptr);
    if (got > 0) n += (size_t)got - 1;  // without its terminator
  }
  line[n++] = '\n';
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, (DWORD)n, &done, nullptr);
}

// Reads one numeric control: nonzero when it is absent or a decimal number
// up to max (then *present tells which).
int read_control(const wchar_t* name, uint64_t max, bool* present, uint64_t* value) {
  wchar_t text[32] = {0};
  *present = false;
  *value = 0;
  DWORD n = GetEnvironmentVariableW(name, text, (DWORD)dimof(text));
  if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return 1;
  bool ok = n > 0 && n < dimof(text);
  for (DWORD i = 0; ok && i < n; i++) {
    unsigned d = (unsigned)(text[i] - L'0');
    if (d > 9 || *value > (max - d) / 10) ok = false;
    else *value = *value * 10 + d;
  }
  if (!ok) {
    say("bad control, not a decimal number in range: ", name);
    return 0;
  }
  *present = true;
  return 1;
}

size_t put_utf8(const wchar_t* s, size_t len, size_t at) {
  if (len == 0) return at;
  int got = WideCharToMultiByte(CP_UTF8, 0, s, (int)len, g_buf + at, (int)(sizeof(g_buf) - at),
                                nullptr, nullptr);
  return at + (got > 0 ? (size_t)got : 0);
}

size_t put(const char* s, size_t at) {
  while (*s && at < sizeof(g_buf)) g_buf[at++] = *s++;
  return at;
}

// Appends this run's command line and current directory to TAR_FAULT_LOG,
// in one write so that runs never interleave. Nonzero when there is no log
// or the record was written.
int log_invocation() {
  static wchar_t path[kPathCap];
  static wchar_t cwd[kPathCap];
  DWORD n = GetEnvironmentVariableW(L"TAR_FAULT_LOG", path, (DWORD)dimof(path));
  if (n == 0) return 1;
  if (n >= dimof(path)) {
    say("TAR_FAULT_LOG is too long");
    return 0;
  }
  DWORD cwd_len = GetCurrentDirectoryW((DWORD)dimof(cwd), cwd);
  if (cwd_len >= dimof(cwd)) cwd_len = 0;
  const wchar_t* cmd = GetCommandLineW();
  // Two texts of at most 32767 units need at most 2 * 98301 bytes.
  static_assert(sizeof(g_buf) >= 2 * 3 * 32767 + 16, "log record must fit g_buf");
  size_t len = put("cmdline: ", 0);
  len = put_utf8(cmd, wcslen(cmd), len);
  len = put("\ncwd: ", len);
  len = put_utf8(cwd, cwd_len, len);
  len = put("\n", len);
  HANDLE h = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    say("cannot open TAR_FAULT_LOG ", path);
    return 0;
  }
  DWORD done = 0;
  BOOL ok = WriteFile(h, g_buf, (DWORD)len, &done, nullptr) && done == len;
  CloseHandle(h);
  if (!ok) say("cannot write TAR_FAULT_LOG ", path);
  return ok;
}

void write_filler(uint64_t count) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  const size_t unit = sizeof(kFiller) - 1;
  // A buffer of whole units, so every write continues the pattern.
  size_t whole = (sizeof(g_buf) / unit) * unit;
  for (size_t i = 0; i < whole; i += unit) memcpy(g_buf + i, kFiller, unit);
  while (count > 0) {
    DWORD chunk = count > whole ? (DWORD)whole : (DWORD)count;
    DWORD done = 0;
    // A reader that went away ends the output; the exit code still says 2.
    if (!WriteFile(err, g_buf, chunk, &done, nullptr) || done != chunk) return;
    count -= chunk;
  }
}

// The argument text after the program's own name, as the C runtime splits
// it: a quoted name ends at the next quote, a bare one at the first blank.
const wchar_t* arguments(const wchar_t* cmd) {
  if (*cmd == L'"') {
    cmd++;
    while (*cmd && *cmd != L'"') cmd++;
    if (*cmd) cmd++;
  } else {
    while (*cmd && *cmd != L' ' && *cmd != L'\t') cmd++;
  }
  return cmd;
}

// Runs bsdtar.exe from this program's folder with our own argument text,
// standard handles and working directory; returns its exit code.
int hand_on() {
  static wchar_t real[kPathCap];
  static wchar_t command[kPathCap];
  DWORD n = GetModuleFileNameW(nullptr, real, (DWORD)dimof(real));
  if (n == 0 || n >= dimof(real)) {
    say("cannot find its own path");
    return 1;
  }
  wchar_t* slash = wcsrchr(real, L'\\');
  size_t dir_len = slash ? (size_t)(slash - real) + 1 : 0;
  // real[] ends in a zero that neither call below writes over.
  if (_snwprintf(real + dir_len, dimof(real) - dir_len - 1, L"bsdtar.exe") < 0) {
    say("path too long");
    return 1;
  }
  if (_snwprintf(command, dimof(command) - 1, L"\"%ls\"%ls", real,
                 arguments(GetCommandLineW())) < 0) {
    say("command line too long");
    return 1;
  }
  STARTUPINFOW si;
  memset(&si, 0, sizeof(si));
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi;
  // No console of its own: the setup starts tar without one, and a console
  // program started from here with flags 0 would open a console window.
  if (!CreateProcessW(real, command, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &si, &pi)) {
    say("cannot start ", real);
    return 1;
  }
  CloseHandle(pi.hThread);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  if (!GetExitCodeProcess(pi.hProcess, &code)) code = 1;
  CloseHandle(pi.hProcess);
  return (int)code;
}

}  // namespace

int wmain() {
  if (!log_invocation()) return 1;
  bool has_delay = false, has_flood = false;
  uint64_t delay_ms = 0, flood = 0;
  // INFINITE (0xFFFFFFFF) is allowed on purpose: a tar that never ends.
  if (!read_control(L"TAR_FAULT_DELAY_MS", 0xFFFFFFFFu, &has_delay, &delay_ms) ||
      !read_control(L"TAR_FAULT_STDERR_BYTES", UINT64_MAX, &has_flood, &flood))
    return 1;
  if (has_delay) Sleep((DWORD)delay_ms);
  if (has_flood) {
    write_filler(flood);
    return 2;
  }
  return hand_on();
}
