// When an answer from GitHub is worth asking again, and after how long.
// Plain code: the rule is the same for every request publish sends.
#pragma once
#include <stdint.h>

// Attempts per request (the first one and the retries).
#define RETRY_ATTEMPTS 7
// The longest wait the tool sits out; a rate limit that resets later ends
// the run instead, with the time GitHub asked for.
#define RETRY_WAIT_MAX 120

struct AnswerSigns {
  long status;             // 0: no answer at all (no connection, cut off)
  long retry_after;        // seconds from Retry-After, -1 when absent
  int rate_exhausted;      // x-ratelimit-remaining was 0
  int64_t rate_reset;      // x-ratelimit-reset (Unix time), 0 when absent
};

// Seconds to wait before attempt number `attempt` (1 for the first retry),
// or -1 when the answer is final (success, or an error that asking again
// cannot change). The wait may exceed RETRY_WAIT_MAX; the caller then
// gives up rather than sleep that long.
long retry_wait(const AnswerSigns* a, int64_t now, unsigned attempt);
