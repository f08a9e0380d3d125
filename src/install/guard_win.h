// One install run per data root at a time, across processes and users.
#pragma once
#include <stdint.h>

// Key of the data root whose guard take_install_guard tried; 0 before.
extern uint64_t g_guard_key;

// Main thread, before the window and before anything under the data root
// changes. Returns nonzero when this process may install: it now holds the
// data root's guard, or no guard can be had here at all. Returns 0 when
// another setup holds it. The system drops the guard with the process,
// however it ends.
int take_install_guard();

// Drops the guard once the run has nothing more to change on disk, so that
// a setup started by the builder at once is not turned away.
void release_install_guard();
