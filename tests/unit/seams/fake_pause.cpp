// The wait between attempts, recorded and skipped.
#include "install/run_win.h"
#include "unit/seams/fakes.h"

void pause_seconds(int seconds) { fake::detail::note_pause(seconds); }
