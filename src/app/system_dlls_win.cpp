// A web setup is run from a Downloads folder, where any page can leave a
// DLL beside it. Windows looks in the exe's folder first for every DLL that
// is not a Known DLL, and static imports are resolved before our first line
// runs: so winhttp, bcrypt and comctl32 are delay-loaded (cmake/delayload)
// and everything outside the Known DLLs is loaded here from the system
// folder before the first call that could need it.
#include <windows.h>

#include <delayimp.h>

#include "app/system_dlls_win.h"
#include "base/text_win.h"
#include "ui/ui.h"

// The delay-loaded three, then what Wine's and Windows' own DLLs load by
// bare name with the default search order: crypt32 and secur32 through
// winhttp, uxtheme through comctl32 and user32's theming.
static const wchar_t* const k_system_dlls[] = {
    L"winhttp.dll", L"bcrypt.dll", L"comctl32.dll", L"crypt32.dll", L"secur32.dll",
    L"uxtheme.dll",
};

static void missing_dll_box(const wchar_t* dll, const wchar_t* function, DWORD error) {
  wchar_t text[512];
  if (function[0])
    WFMT(text, L"Windows could not provide %ls in %ls (Windows error %lu). The Brisquel Builder "
               L"setup cannot run on this system.", function, dll, error);
  else
    WFMT(text, L"Windows could not load %ls from its system folder (Windows error %lu). The "
               L"Brisquel Builder setup cannot run on this system.", dll, error);
  MessageBoxW(nullptr, text, SETUP_CAPTION, MB_ICONERROR | MB_OK);
}

int load_system_dlls() {
  for (const wchar_t* dll : k_system_dlls) {
    // comctl32 still comes as version 6: the manifest's redirection is
    // applied before the search path.
    if (!LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
      DWORD error = GetLastError();
      missing_dll_box(dll, L"", error);
      return 0;
    }
  }
  return 1;
}

// Called by the delay-load helper when a DLL or one of its functions is
// missing after all (a Windows older than the one we were built for). Its
// default is to raise an exception nobody catches: say what is missing
// instead, and end the process, on whichever thread the call came.
static FARPROC WINAPI delay_load_failed(unsigned note, PDelayLoadInfo info) {
  if (note != dliFailLoadLib && note != dliFailGetProc) return nullptr;
  wchar_t dll[64], function[128] = L"";
  WFMT(dll, L"%hs", info->szDll ? info->szDll : "?");
  if (note == dliFailGetProc) {
    if (info->dlp.fImportByName)
      WFMT(function, L"%hs", info->dlp.szProcName ? info->dlp.szProcName : "?");
    else
      WFMT(function, L"#%lu", info->dlp.dwOrdinal);
  }
  missing_dll_box(dll, function, info->dwLastError);
  ExitProcess(1);
}

// Replaces the CRT's null default: this object is always linked, since the
// entry calls load_system_dlls. delayimp.h declares it with C linkage.
PfnDliHook __pfnDliFailureHook2 = delay_load_failed;
