// Helper of the DLL-planting tests, with Known DLLs only in its imports.
//   probe load NAME...       loads each NAME by bare name with the default
//                            search order, as an unguarded program would
//                            (shows that a planted copy does get loaded)
//   probe missing-dll        calls a delay-loaded function of a DLL that
//                            does not exist
//   probe missing-function   calls a delay-loaded function that kernel32
//                            does not have
// The last two must end in the setup's own failure box with exit code 1,
// never in an exception.
#include <windows.h>

#include "app/system_dlls_win.h"

extern "C" int WINAPI BrisquelAbsent(void);
extern "C" int WINAPI BrisquelNoSuchFunction(void);

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && lstrcmpW(argv[1], L"load") == 0) {
    int loaded = 0;
    for (int i = 2; i < argc; i++) loaded += LoadLibraryW(argv[i]) != nullptr;
    return loaded == argc - 2 ? 0 : 3;
  }
  // The setup's start, so that its delay-load failure hook is what runs.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!load_system_dlls()) return 4;
  if (argc >= 2 && lstrcmpW(argv[1], L"missing-dll") == 0) return BrisquelAbsent();
  if (argc >= 2 && lstrcmpW(argv[1], L"missing-function") == 0) return BrisquelNoSuchFunction();
  return 2;
}
