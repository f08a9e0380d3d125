// make_junction.exe <link> <target>: makes <link> a junction (a directory
// mount point) to the directory <target>, the way "mklink /J" does.
//
// Exit 0 when the junction is in place; 1 when the system refused it, with
// "make_junction: <what> failed (Windows error N)" on standard error and
// no <link> left behind; 2 on a usage error. Wine 8 refuses the reparse
// point with error 50 (not supported): the tests then fall back to a
// Linux symbolic link, which Wine lists with the same attributes
// (directory and reparse point) as a junction.
#include <windows.h>
#include <winioctl.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// REPARSE_DATA_BUFFER's mount point form, which MinGW's headers lack.
struct MountPointBuffer {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  WCHAR path[2048];
};

int refuse(const wchar_t* what, DWORD error, const wchar_t* link) {
  fwprintf(stderr, L"make_junction: %ls failed (Windows error %lu)\n", what, error);
  RemoveDirectoryW(link);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fwprintf(stderr, L"usage: make_junction <link> <target>\n");
    return 2;
  }
  const wchar_t* link = argv[1];
  wchar_t target[1024];
  DWORD n = GetFullPathNameW(argv[2], ARRAYSIZE(target), target, nullptr);
  if (n == 0 || n >= ARRAYSIZE(target)) {
    fwprintf(stderr, L"make_junction: target path too long\n");
    return 2;
  }
  // The substitute name is the NT form of the target; the print name is
  // what "dir" shows. Both go into one buffer, each with a terminator.
  MountPointBuffer m;
  memset(&m, 0, sizeof m);
  wchar_t substitute[1100];
  _snwprintf(substitute, ARRAYSIZE(substitute) - 1, L"\\??\\%ls", target);
  substitute[ARRAYSIZE(substitute) - 1] = 0;
  size_t sub_units = wcslen(substitute), print_units = wcslen(target);
  m.tag = IO_REPARSE_TAG_MOUNT_POINT;
  m.substitute_offset = 0;
  m.substitute_length = (WORD)(sub_units * sizeof(WCHAR));
  m.print_offset = (WORD)((sub_units + 1) * sizeof(WCHAR));
  m.print_length = (WORD)(print_units * sizeof(WCHAR));
  memcpy(m.path, substitute, (sub_units + 1) * sizeof(WCHAR));
  memcpy(m.path + sub_units + 1, target, (print_units + 1) * sizeof(WCHAR));
  m.data_length = (WORD)(4 * sizeof(WORD) + (sub_units + 1 + print_units + 1) * sizeof(WCHAR));

  if (!CreateDirectoryW(link, nullptr)) {
    fwprintf(stderr, L"make_junction: CreateDirectoryW failed (Windows error %lu)\n",
             GetLastError());
    return 1;
  }
  HANDLE h = CreateFileW(link, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return refuse(L"CreateFileW", GetLastError(), link);
  DWORD got = 0;
  BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &m, 8 + m.data_length, nullptr, 0, &got,
                            nullptr);
  DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return refuse(L"FSCTL_SET_REPARSE_POINT", error, link);
  return 0;
}
