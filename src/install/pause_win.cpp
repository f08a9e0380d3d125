#include <windows.h>

#include "install/fs_win.h"
#include "install/run_win.h"

void pause_seconds(int seconds) { Sleep((DWORD)seconds * 1000); }

void pause_ms(int ms) { Sleep((DWORD)ms); }
