#include <windows.h>

#include "install/run_win.h"

void pause_seconds(int seconds) { Sleep((DWORD)seconds * 1000); }
