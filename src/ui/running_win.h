// Finding the setup that already installs into our data root.
#pragma once
#include <stdint.h>

// Worker thread or main thread, once the window exists: tags the window
// with the data root's guard key, so that a second setup finds it.
void mark_setup_window(uint64_t key);

// In a setup turned away by the guard, before any window of its own:
// brings the running setup's window (or its box) to the front; when none
// shows up within a few seconds (another user's setup, or one still
// starting), says in one box that a setup is already running. Returns the
// process exit code, 0.
int show_running_setup(uint64_t key);
