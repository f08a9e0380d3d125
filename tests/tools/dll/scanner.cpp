// An on-access scanner as the setup meets one, inside the setup's own
// process: the observer loads this DLL before the setup's first
// instruction (run file key inject=), and the DLL points the setup's
// imports of MoveFileW and DeleteFileW at itself (its own imports of them
// stay Windows').
//
// Like a real scanner that opens a fresh file to scan it, it holds each
// path from the setup's first attempt to rename, move or delete it, for
// SCANNER_HOLD_MS milliseconds ("forever": for the whole run). Meanwhile
// the call fails with the error Windows gives: a sharing violation (32)
// for a file, access denied (5) for renaming a folder. After the hold the
// call goes through to Windows. Paths that do not exist are never held.
//
//   SCANNER_HOLD_MS=<ms>|forever   the hold (unset: no hold, calls logged)
//   SCANNER_ONLY=<text>            hold only paths that end in this text
//                                  (compared without regard to case)
//   SCANNER_LOG=<file>             one UTF-8 line per event:
//     <ms>\tloaded\t<exe>          once, with <ms> from the DLL's load
//     <ms>\tpatched\t<n>           imports pointed here
//     <ms>\trefused\t<call>\t<error>\t<path>
#include <windows.h>

#include <string.h>
#include <wchar.h>

namespace {

const DWORD kForever = 0xffffffffu;
DWORD g_hold_ms = 0;
bool g_holding = false;
wchar_t g_only[260];
wchar_t g_log[520];
DWORD g_loaded_at;
CRITICAL_SECTION g_lock;

struct Held {
  wchar_t path[262];  // lower case
  DWORD since;
};
Held g_held[2048];
int g_held_count;

void log_line(const wchar_t* text) {
  if (!g_log[0]) return;
  char utf8[2048];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8 - 2, nullptr, nullptr);
  if (n <= 0) return;
  utf8[n - 1] = '\n';
  HANDLE f = CreateFileW(g_log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD done;
  WriteFile(f, utf8, (DWORD)n, &done, nullptr);
  CloseHandle(f);
}

void log_event(const wchar_t* what, const wchar_t* call, DWORD error, const wchar_t* path) {
  wchar_t line[900];
  _snwprintf(line, 899, L"%lu\t%ls\t%ls\t%lu\t%ls", GetTickCount() - g_loaded_at, what, call,
             error, path);
  line[899] = 0;
  log_line(line);
}

void lower(wchar_t* s) {
  for (; *s; s++) *s = towlower(*s);
}

// The entry for path, made on the first attempt; null when not held.
Held* find_or_add(const wchar_t* path) {
  wchar_t key[262];
  if (wcslen(path) > 260) return nullptr;
  wcscpy(key, path);
  lower(key);
  size_t len = wcslen(key), only = wcslen(g_only);
  if (only && (only > len || wcscmp(key + len - only, g_only) != 0)) return nullptr;
  for (int i = 0; i < g_held_count; i++)
    if (wcscmp(g_held[i].path, key) == 0) return &g_held[i];
  if (g_held_count == (int)(sizeof g_held / sizeof g_held[0])) return nullptr;
  Held* h = &g_held[g_held_count++];
  wcscpy(h->path, key);
  h->since = GetTickCount();
  return h;
}

// True (with the error set) when the scanner still holds path.
bool refuse(const wchar_t* call, const wchar_t* path, bool renaming) {
  if (!g_holding || !path) return false;
  DWORD attrs = GetFileAttributesW(path);
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  EnterCriticalSection(&g_lock);
  Held* h = find_or_add(path);
  bool held = h && (g_hold_ms == kForever || GetTickCount() - h->since < g_hold_ms);
  LeaveCriticalSection(&g_lock);
  if (!held) return false;
  DWORD error = renaming && (attrs & FILE_ATTRIBUTE_DIRECTORY) ? ERROR_ACCESS_DENIED
                                                                : ERROR_SHARING_VIOLATION;
  log_event(L"refused", call, error, path);
  SetLastError(error);
  return true;
}

BOOL WINAPI scan_move(LPCWSTR from, LPCWSTR to) {
  return !refuse(L"MoveFileW", from, true) && MoveFileW(from, to);
}

BOOL WINAPI scan_delete(LPCWSTR path) {
  return !refuse(L"DeleteFileW", path, false) && DeleteFileW(path);
}

// Points the main module's imports of the calls above at the scanner.
int patch_imports() {
  auto base = (BYTE*)GetModuleHandleW(nullptr);
  auto dos = (IMAGE_DOS_HEADER*)base;
  auto nt = (IMAGE_NT_HEADERS*)(base + dos->e_lfanew);
  IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!dir.VirtualAddress) return 0;
  const struct {
    const char* name;
    void* hook;
  } hooks[] = {{"MoveFileW", (void*)scan_move}, {"DeleteFileW", (void*)scan_delete}};
  int patched = 0;
  for (auto d = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); d->Name; d++) {
    if (lstrcmpiA((const char*)(base + d->Name), "kernel32.dll") != 0) continue;
    auto names = (IMAGE_THUNK_DATA*)(base + (d->OriginalFirstThunk ? d->OriginalFirstThunk
                                                                    : d->FirstThunk));
    auto slots = (IMAGE_THUNK_DATA*)(base + d->FirstThunk);
    for (; names->u1.AddressOfData; names++, slots++) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto by_name = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      for (const auto& h : hooks) {
        if (strcmp((const char*)by_name->Name, h.name) != 0) continue;
        DWORD was;
        if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was))
          continue;
        slots->u1.Function = (ULONG_PTR)h.hook;
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
        patched++;
      }
    }
  }
  return patched;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  g_loaded_at = GetTickCount();
  InitializeCriticalSection(&g_lock);
  wchar_t value[64];
  DWORD n = GetEnvironmentVariableW(L"SCANNER_HOLD_MS", value, 64);
  if (n > 0 && n < 64) {
    g_holding = true;
    g_hold_ms = wcscmp(value, L"forever") == 0 ? kForever : wcstoul(value, nullptr, 10);
  }
  n = GetEnvironmentVariableW(L"SCANNER_ONLY", g_only, 260);
  if (n >= 260) g_only[0] = 0;
  lower(g_only);
  n = GetEnvironmentVariableW(L"SCANNER_LOG", g_log, 520);
  if (n >= 520) g_log[0] = 0;

  wchar_t line[400], exe[260] = {};
  GetModuleFileNameW(nullptr, exe, 259);
  _snwprintf(line, 399, L"0\tloaded\t%ls", exe);
  line[399] = 0;
  log_line(line);
  _snwprintf(line, 399, L"%lu\tpatched\t%d", GetTickCount() - g_loaded_at, patch_imports());
  line[399] = 0;
  log_line(line);
  return TRUE;
}
