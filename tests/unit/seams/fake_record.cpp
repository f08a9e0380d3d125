// What the fakes saw, and the thread the code under test runs on.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "net/http_win.h"
#include "unit/seams/fakes.h"
#include "ui/ui.h"

namespace fake {
namespace {

// The worker writes, the test reads once the worker has ended; the lock
// also keeps a worker that overran its time-out from tearing a vector.
SRWLOCK g_lock = SRWLOCK_INIT;
std::vector<std::string> g_trace;
std::vector<Get> g_gets;
std::vector<std::string> g_links;
std::vector<std::wstring> g_statuses;
std::vector<int> g_pauses;
bool g_failed;
std::wstring g_fail_text;

struct Locked {
  Locked() { AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
};

struct Job {
  void (*body)(void*);
  void* arg;
};

DWORD WINAPI job_main(LPVOID p) {
  Job* job = (Job*)p;
  job->body(job->arg);
  return 0;
}

}  // namespace

std::string narrow(const std::wstring& w) {
  if (w.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
  std::string s((size_t)n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
  return s;
}

namespace detail {

void note(const std::string& line) {
  Locked l;
  g_trace.push_back(line);
}

void note_get(const Get& g) {
  std::string line = "get " + g.address;
  if (!g.accept.empty()) line += " " + narrow(g.accept);
  Locked l;
  g_trace.push_back(line);
  g_gets.push_back(g);
}

void note_link(const char* address) {
  Locked l;
  g_trace.push_back(std::string("link ") + address);
  g_links.push_back(address);
}

void note_status(const wchar_t* text) {
  std::string line = "status " + narrow(text);
  Locked l;
  g_trace.push_back(line);
  g_statuses.push_back(text);
}

void note_pause(int seconds) {
  Locked l;
  g_trace.push_back("pause " + std::to_string(seconds));
  g_pauses.push_back(seconds);
}

void note_fail(const wchar_t* text) {
  std::string line = "fail " + narrow(text);
  Locked l;
  g_trace.push_back(line);
  g_failed = true;
  g_fail_text = text;
}

}  // namespace detail

const std::vector<std::string>& trace() { return g_trace; }
const std::vector<Get>& gets() { return g_gets; }
const std::vector<std::string>& link_requests() { return g_links; }
std::vector<std::wstring> statuses() { return g_statuses; }
std::vector<int> pauses() { return g_pauses; }
bool failed() { return g_failed; }
std::wstring fail_text() { return g_fail_text; }

void reset() {
  {
    Locked l;
    g_trace.clear();
    g_gets.clear();
    g_links.clear();
    g_statuses.clear();
    g_pauses.clear();
    g_failed = false;
    g_fail_text.clear();
  }
  detail::reset_net();
  detail::reset_pause_ms();
  g_percent.store(-1);
  g_status[0] = 0;
  g_http_status = 0;
}

DWORD run_worker(void (*body)(void*), void* arg, DWORD timeout_ms) {
  Job job = {body, arg};
  HANDLE t = CreateThread(nullptr, 0, job_main, &job, 0, nullptr);
  if (!t) {
    fprintf(stderr, "CreateThread failed: %lu\n", GetLastError());
    abort();
  }
  DWORD code = WAIT_TIMEOUT;
  if (WaitForSingleObject(t, timeout_ms) == WAIT_OBJECT_0) {
    if (!GetExitCodeThread(t, &code)) code = WAIT_TIMEOUT;
  } else {
    // It still uses job and the records: stopping it is all we can do.
    TerminateThread(t, WAIT_TIMEOUT);
    WaitForSingleObject(t, INFINITE);
    code = WAIT_TIMEOUT;
  }
  CloseHandle(t);
  return code;
}

std::wstring make_temp_dir(const wchar_t* prefix) {
  static LONG serial;
  wchar_t tmp[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, tmp);
  if (n == 0 || n >= MAX_PATH) {
    fprintf(stderr, "GetTempPathW failed: %lu\n", GetLastError());
    abort();
  }
  std::wstring dir = std::wstring(tmp) + prefix + L"_" + std::to_wstring(GetCurrentProcessId()) +
                     L"_" + std::to_wstring(GetTickCount()) + L"_" +
                     std::to_wstring(InterlockedIncrement(&serial));
  if (!CreateDirectoryW(dir.c_str(), nullptr)) {
    fprintf(stderr, "CreateDirectoryW failed: %lu\n", GetLastError());
    abort();
  }
  return dir;
}

std::string read_file(const std::wstring& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return "<absent>";
  std::string text;
  char buf[256];
  DWORD got = 0;
  while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
  CloseHandle(f);
  return text;
}

void write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put = 0;
  if (f == INVALID_HANDLE_VALUE || !WriteFile(f, bytes.data(), (DWORD)bytes.size(), &put, nullptr)) {
    fprintf(stderr, "cannot write %s: %lu\n", narrow(path).c_str(), GetLastError());
    abort();
  }
  CloseHandle(f);
}

void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring p = dir + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(p);
      } else {
        SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(p.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace fake
