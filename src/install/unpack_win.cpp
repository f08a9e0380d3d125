// Unpacking a verified archive with the system's tar.exe.
#include <windows.h>

#include <string.h>

#include "base/text_win.h"
#include "install/messages.h"
#include "install/run_win.h"
#include "install/tar_command.h"
#include "ui/ui.h"

struct TarOutcome {
  DWORD exit_code;
  DWORD start_error;
  DWORD status_error;
  DWORD capture_error;
  char excerpt[512];  // first 511 bytes of tar's standard error
};

// Runs tar hidden with standard error captured; fills the outcome.
static void run_tar(const wchar_t* command, const wchar_t* dest, TarOutcome* out) {
  memset(out, 0, sizeof *out);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr, null_dev = INVALID_HANDLE_VALUE;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    out->capture_error = GetLastError();
    read_end = write_end = nullptr;
  } else if (!SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) {
    out->capture_error = GetLastError();
    CloseHandle(read_end);
    CloseHandle(write_end);
    read_end = write_end = nullptr;
  } else {
    null_dev = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherit, OPEN_EXISTING, 0, nullptr);
    if (null_dev == INVALID_HANDLE_VALUE) {
      out->capture_error = GetLastError();
      CloseHandle(read_end);
      CloseHandle(write_end);
      read_end = write_end = nullptr;
    }
  }

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  if (write_end) {
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = null_dev;
    si.hStdOutput = null_dev;
    si.hStdError = write_end;
  }
  // CreateProcessW may write into the command line.
  static wchar_t line[584];
  COPY_CUT_W(line, command);
  PROCESS_INFORMATION pi = {};
  BOOL started = CreateProcessW(nullptr, line, nullptr, nullptr, write_end != nullptr,
                                CREATE_NO_WINDOW, nullptr, dest, &si, &pi);
  if (!started) out->start_error = GetLastError();
  // Our copy of the write end must go, or the pipe never ends.
  if (write_end) CloseHandle(write_end);
  if (null_dev != INVALID_HANDLE_VALUE) CloseHandle(null_dev);
  if (!started) {
    if (read_end) CloseHandle(read_end);
    return;
  }
  if (read_end) {
    size_t kept = 0;
    char chunk[512];
    DWORD got;
    // Read to the end and drop what does not fit, so tar never blocks.
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      size_t room = sizeof out->excerpt - 1 - kept;
      size_t take = got < room ? got : room;
      memcpy(out->excerpt + kept, chunk, take);
      kept += take;
    }
    CloseHandle(read_end);
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  if (!GetExitCodeProcess(pi.hProcess, &out->exit_code)) out->status_error = GetLastError();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

[[noreturn]] static void fail_tar(int n, int total, const TarOutcome* o, const wchar_t* archive,
                                  const wchar_t* dest) {
  wchar_t excerpt[512] = {};
  if (o->capture_error)
    WFMT(excerpt, MSG_TAR_NO_CAPTURE, o->capture_error);
  else
    WIDEN(excerpt, o->excerpt);
  wchar_t head[1024] = {};
  WFMT(head, MSG_TAR_HEAD, n, total, o->exit_code, archive, dest,
       o->capture_error ? MSG_TAR_NO_EXCERPT_LABEL : MSG_TAR_EXCERPT_LABEL);
  int room = 1023 - (int)wcslen(head);
  fail(L"%ls%.*ls", head, room, excerpt);
}

void unpack_part(RunState* run, unsigned i, const wchar_t* archive) {
  const PartEntry* p = &run->list.parts[i];
  int n = (int)i + 1, total = (int)run->list.part_count;
  status(MSG_UNPACKING, n, total);

  wchar_t dest[PATH_UNITS];
  if (strcmp(p->extract_to, ".") == 0) {
    COPY_CUT_W(dest, run->staging_dir);
  } else {
    wchar_t sub[PATH_UNITS];
    WIDEN(sub, p->extract_to);
    WFMT(dest, L"%ls\\%ls", run->staging_dir, sub);
  }
  to_backslashes(dest);
  make_dirs(dest);

  wchar_t system_dir[PATH_UNITS] = {};
  UINT len = GetSystemDirectoryW(system_dir, dimof(system_dir));
  // Without the system directory the command would name some other
  // tar.exe ("\tar.exe" of the current drive): never start that one.
  if (len == 0 || len >= dimof(system_dir))
    fail(MSG_TAR_START, len ? (DWORD)ERROR_INSUFFICIENT_BUFFER : GetLastError(), archive, dest);
  wchar_t command[584];
  // tar takes its arguments in the ANSI code page: a user name with other
  // letters needs the relative forms (see tar_command).
  int ansi_ok = survives_ansi(system_dir) && survives_ansi(archive) && survives_ansi(dest);
  tar_command(command, dimof(command), system_dir, archive, dest, ansi_ok);

  TarOutcome o;
  run_tar(command, dest, &o);
  if (o.start_error) fail(MSG_TAR_START, o.start_error, archive, dest);
  if (o.status_error) fail(MSG_TAR_STATUS, o.status_error, archive, dest);
  if (o.exit_code != 0) fail_tar(n, total, &o, archive, dest);

  if (strcmp(p->rename_from, "-") == 0 || strcmp(p->rename_to, "-") == 0) return;
  wchar_t from_name[PATH_UNITS], to_name[PATH_UNITS], from[PATH_UNITS], to[PATH_UNITS];
  WIDEN(from_name, p->rename_from);
  WIDEN(to_name, p->rename_to);
  WFMT(from, L"%ls\\%ls", dest, from_name);
  WFMT(to, L"%ls\\%ls", dest, to_name);
  if (path_exists(to)) return;
  if (!fs_retry(FS_MOVE, from, to)) fail(MSG_RENAME_FAILED, n, total, from_name);
}
