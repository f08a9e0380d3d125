// handles.exe <fragment>: for every process whose full image path contains
// <fragment> (compared without regard to case), prints one line
//
//   <pid> <handle count>
//
// and exits 0; exits 1 when no process matched, 2 when the system's handle
// table could not be read. The fault tests use it to see whether the setup
// keeps handles across retries, so it reads the one source that Wine fills:
// GetProcessHandleCount answers 0 for every process under Wine 8, while the
// system handle table (NtQuerySystemInformation, SystemHandleInformation)
// lists each open handle with its owner.
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

const ULONG kSystemHandleInformation = 16;
const LONG kInfoLengthMismatch = (LONG)0xC0000004;

struct HandleEntry {
  ULONG owner_pid;
  UCHAR object_type;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

typedef LONG(NTAPI* QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);

// The whole handle table, grown until it fits; null when it cannot be read.
HandleTable* read_table() {
  auto query = (QuerySystemInformation)GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                      "NtQuerySystemInformation");
  if (!query) return nullptr;
  ULONG size = 1 << 16;
  for (int tries = 0; tries < 16; tries++) {
    void* buf = malloc(size);
    if (!buf) return nullptr;
    ULONG need = 0;
    LONG st = query(kSystemHandleInformation, buf, size, &need);
    if (st == 0) return (HandleTable*)buf;
    free(buf);
    if (st != kInfoLengthMismatch) return nullptr;
    size = need > size ? need + 4096 : size * 2;
  }
  return nullptr;
}

bool image_matches(DWORD pid, const wchar_t* fragment) {
  HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!p) return false;
  static wchar_t image[32768];
  DWORD n = ARRAYSIZE(image);
  bool ok = QueryFullProcessImageNameW(p, 0, image, &n) != 0;
  CloseHandle(p);
  if (!ok) return false;
  _wcslwr(image);
  static wchar_t want[32768];
  wcsncpy(want, fragment, ARRAYSIZE(want) - 1);
  want[ARRAYSIZE(want) - 1] = 0;
  _wcslwr(want);
  return wcsstr(image, want) != nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || !argv[1][0]) {
    fwprintf(stderr, L"usage: handles <image path fragment>\n");
    return 2;
  }
  HandleTable* table = read_table();
  if (!table) {
    fwprintf(stderr, L"handles: cannot read the system handle table\n");
    return 2;
  }
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) {
    free(table);
    return 2;
  }
  int found = 0;
  PROCESSENTRY32W pe;
  pe.dwSize = sizeof pe;
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
    if (pe.th32ProcessID == GetCurrentProcessId()) continue;
    if (!image_matches(pe.th32ProcessID, argv[1])) continue;
    unsigned long count = 0;
    for (ULONG i = 0; i < table->count; i++)
      if (table->entries[i].owner_pid == pe.th32ProcessID) count++;
    wprintf(L"%lu %lu\n", pe.th32ProcessID, count);
    found++;
  }
  CloseHandle(snap);
  free(table);
  return found ? 0 : 1;
}
