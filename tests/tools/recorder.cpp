// recorder.exe: stands in for the programs the setup starts (the installed
// builder, a game's bin executable). It appends one JSON line to the file
// named by RECORDER_LOG and exits 0 at once:
//
//   {"exe": <own path>, "cwd": <current directory>, "cmdline": <command
//    line>, "pid": n, "ppid": n}
//
// Text fields escape every unit outside printable ASCII as \uXXXX, so the
// record holds the command line unit for unit, lone surrogates included.
//
// It reads no console and writes no stdout: started by a GUI program it
// must never open a window or wait for anything. The harness marks the
// copies it installs as GUI programs, so no console is made for them.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace {

void put_json_text(std::string* o, const wchar_t* s, size_t n) {
  static const char hex[] = "0123456789abcdef";
  *o += '"';
  for (size_t i = 0; i < n; i++) {
    unsigned c = (unsigned short)s[i];
    if (c == '"' || c == '\\') {
      *o += '\\';
      *o += (char)c;
    } else if (c >= 0x20 && c < 0x7f) {
      *o += (char)c;
    } else {
      *o += "\\u";
      for (int sh = 12; sh >= 0; sh -= 4) *o += hex[(c >> sh) & 15];
    }
  }
  *o += '"';
}

DWORD parent_pid() {
  DWORD me = GetCurrentProcessId(), parent = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W pe;
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
    if (pe.th32ProcessID == me) parent = pe.th32ParentProcessID;
  CloseHandle(snap);
  return parent;
}

}  // namespace

int wmain() {
  wchar_t logpath[1024];
  DWORD n = GetEnvironmentVariableW(L"RECORDER_LOG", logpath, ARRAYSIZE(logpath));
  if (n == 0 || n >= ARRAYSIZE(logpath)) return 0;

  const wchar_t* cmd = GetCommandLineW();
  wchar_t exe[32768];
  DWORD en = GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
  if (en >= ARRAYSIZE(exe)) en = 0;
  wchar_t cwd[32768];
  DWORD cn = GetCurrentDirectoryW(ARRAYSIZE(cwd), cwd);
  if (cn >= ARRAYSIZE(cwd)) cn = 0;

  std::string line = "{\"exe\": ";
  put_json_text(&line, exe, en);
  line += ", \"cwd\": ";
  put_json_text(&line, cwd, cn);
  line += ", \"cmdline\": ";
  put_json_text(&line, cmd, cmd ? lstrlenW(cmd) : 0);
  line += ", \"pid\": " + std::to_string(GetCurrentProcessId());
  line += ", \"ppid\": " + std::to_string(parent_pid());
  line += "}\n";

  // Appending in one write keeps records of concurrent starts whole.
  HANDLE f = CreateFileW(logpath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  DWORD done = 0;
  WriteFile(f, line.data(), (DWORD)line.size(), &done, nullptr);
  CloseHandle(f);
  return 0;
}
