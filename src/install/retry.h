// Retry rules of the run: downloads, and file operations that another
// program holds for a moment. No Windows header.
#pragma once
#include <stdint.h>

#define DOWNLOAD_ATTEMPTS 8

// Seconds waited before attempts 2 to 8.
constexpr int waits[DOWNLOAD_ATTEMPTS - 1] = {3, 6, 12, 20, 30, 45, 60};

constexpr int waits_total(int n) { return n == 0 ? 0 : waits[n - 1] + waits_total(n - 1); }
// The user-facing messages promise "8 times over 3 minutes".
static_assert(waits_total(DOWNLOAD_ATTEMPTS - 1) == 176, "retry schedule drifted");

// A part's attempt that took its file at least this far past the most it
// held before starts the schedule afresh: the next wait is the first, and
// the download gives up only after a whole schedule that delivered less.
// Measured against the most ever held, so that a host that keeps taking
// bytes back (a wrong range, a whole body shorter than ours) cannot keep
// a download going for ever.
#define DOWNLOAD_PROGRESS_BYTES (64u << 10)

// Transient statuses are retried: 0 (no answer), 200 (body short or
// unreadable), 403, 408, 429 and 500 and above. Every other one is final.
int status_is_transient(uint32_t status);

// File operations (renames, moves, removals) that Windows refuses while
// another program has the file open: an on-access scanner opens every
// fresh file for a moment. Attempts 2 to 10 wait these milliseconds:
// doubling from 25 ms, so a short scan costs little, then a try every
// 1.6 s, up to 6.4 s in all. Longer than the 5 s that has been enough for
// a scan of 1,800 fresh files; a hold that outlasts it is not a scan, and
// the user learns more from the step's own message than from a longer wait.
#define FS_ATTEMPTS 10
constexpr int fs_waits_ms[FS_ATTEMPTS - 1] = {25, 50, 100, 200, 400, 800, 1600, 1600, 1600};

constexpr int fs_waits_total(int n) { return n == 0 ? 0 : fs_waits_ms[n - 1] + fs_waits_total(n - 1); }
static_assert(fs_waits_total(FS_ATTEMPTS - 1) == 6375, "file retry schedule drifted");

// The status line names the held file once the waits reach this much, so
// that only a hold the user could notice is shown.
#define FS_WAIT_SHOWN_MS 375

// Nonzero for the Windows errors of a file or folder held by another
// program: a sharing violation (32) and access denied (5). Every other
// error is final.
int fs_error_is_transient(unsigned long error);
