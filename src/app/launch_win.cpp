#include "app/launch_win.h"

#include <windows.h>
#include <shlobj.h>

#include "base/cmdline.h"
#include "base/text_win.h"
#include "install/fs_win.h"

int launch_installed() {
  wchar_t appdata[MAX_PATH];
  // Always the default data root: the override of the install run is a
  // testing and portability aid, not something a game stub should follow.
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appdata)))
    return 0;
  wchar_t marker[260];
  WFMT(marker, L"%ls\\BrisquelBuilder\\versions\\current.txt", appdata);
  char tag[128];
  read_marker(marker, tag);
  if (!tag[0]) return 0;

  wchar_t wtag[128];
  WIDEN(wtag, tag);
  wchar_t folder[260], exe[260];
  WFMT(folder, L"%ls\\BrisquelBuilder\\versions\\%ls\\TamrockBuilder", appdata, wtag);
  WFMT(exe, L"%ls\\BrisquelBuilder.exe", folder);
  if (GetFileAttributesW(exe) == INVALID_FILE_ATTRIBUTES) return 0;
  // parts.txt without installed.txt: a version that the setup committed
  // and an update has begun to take apart (it moves unchanged folders out
  // and removes installed.txt first). Its builder may lack folders; the
  // caller falls back to the setup or the game instead. A version without
  // either record was not laid out by this setup and is started as ever.
  wchar_t record[260], installed[260];
  WFMT(record, L"%ls\\BrisquelBuilder\\versions\\%ls\\parts.txt", appdata, wtag);
  WFMT(installed, L"%ls\\BrisquelBuilder\\versions\\%ls\\installed.txt", appdata, wtag);
  if (GetFileAttributesW(record) != INVALID_FILE_ATTRIBUTES &&
      GetFileAttributesW(installed) == INVALID_FILE_ATTRIBUTES)
    return 0;

  static wchar_t command[4096];  // main thread only, before any worker exists
  WFMT(command, L"\"%ls\" %ls", exe, g_cmdline);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, folder, &si, &pi))
    return 0;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 1;
}
