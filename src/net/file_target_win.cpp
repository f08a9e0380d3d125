// Writing a download to its file, with the hash kept in step.
#include <windows.h>

#include "net/http_win.h"

int file_sink(void* context, const void* bytes, uint32_t count) {
  FileTarget* t = (FileTarget*)context;
  DWORD wrote = 0;
  if (!WriteFile(t->file, bytes, count, &wrote, nullptr) || wrote != count) return 0;
  if (BCryptHashData(t->hash, (PUCHAR)bytes, count, 0) != 0) return 0;
  t->have += count;
  return 1;
}

int file_restart(FileTarget* t) {
  t->have = 0;
  if (t->hash) BCryptDestroyHash(t->hash);
  t->hash = nullptr;
  if (BCryptCreateHash(t->alg, &t->hash, nullptr, 0, nullptr, 0, 0) != 0) {
    t->hash = nullptr;
    return 0;
  }
  LARGE_INTEGER zero = {};
  return SetFilePointerEx(t->file, zero, nullptr, FILE_BEGIN) && SetEndOfFile(t->file);
}
