#include <windows.h>

#include <wchar.h>

#include "base/text_win.h"
#include "setuplist/part_folder.h"

void write_parts(const wchar_t* version_dir, const PartEntry* parts, uint32_t count) {
  static const wchar_t kName[] = L"\\parts.txt";
  wchar_t path[260];
  WFMT(path, L"%ls%ls", version_dir, kName);
  // A path cut by the bound would name another file ("parts.tx"), which no
  // reader looks for: write nothing rather than a record under a wrong name.
  if (wcslen(path) != wcslen(version_dir) + dimof(kName) - 1) return;
  char text[MAX_PARTS * 65 + 1];
  DWORD len = (DWORD)parts_record_text(parts, count, text);
  // CREATE_ALWAYS truncates: the record is replaced whole, never appended
  // to, so a line can only name a folder of this very install. Failures
  // are silent: a missing record only costs the next update its reuse, and
  // a short write at worst cuts a digest, which then matches no part.
  HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  if (len) WriteFile(f, text, len, &written, nullptr);
  CloseHandle(f);
}
