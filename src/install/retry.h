// Retry rules shared by every download of the run. No Windows header.
#pragma once
#include <stdint.h>

#define DOWNLOAD_ATTEMPTS 8

// Seconds waited before attempts 2 to 8.
constexpr int waits[DOWNLOAD_ATTEMPTS - 1] = {3, 6, 12, 20, 30, 45, 60};

constexpr int waits_total(int n) { return n == 0 ? 0 : waits[n - 1] + waits_total(n - 1); }
// The user-facing messages promise "8 times over 3 minutes".
static_assert(waits_total(DOWNLOAD_ATTEMPTS - 1) == 176, "retry schedule drifted");

// Transient statuses are retried: 0 (no answer), 200 (body short or
// unreadable), 403, 408, 429 and 500 and above. Every other one is final.
int status_is_transient(uint32_t status);
