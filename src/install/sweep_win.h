// The removal of replaced versions, done once the builder runs: their
// ".gone" trees can hold tens of thousands of files, and the user should
// not wait for them before the builder starts.
#pragma once
#include <windows.h>

// Longest the removal may take; what is left then stays for the next run.
#define SWEEP_MS 60000

// Worker thread, before the builder starts: the tree at path (already under
// its ".gone" name) is to be removed afterwards. The room is fixed; a tree
// beyond it is left for the next run.
void sweep_later(const wchar_t* path);

// Worker thread, once the builder has started: asks the window to close,
// waits until it has gone, removes the recorded trees within SWEEP_MS and
// ends the worker thread. The process ends with it.
[[noreturn]] void close_and_sweep();

// Main thread, once its message loop has ended: when the worker is removing
// trees, lets it go on and waits for it, never longer than the bound. Returns
// at once otherwise: a window closed during the install ends the process.
void wait_for_sweep(HANDLE worker);
