#include "retry_rule.h"

// Backoff for answers that name no time of their own.
static const long kBackoff[RETRY_ATTEMPTS - 1] = {1, 2, 4, 8, 16, 30};

long retry_wait(const AnswerSigns* a, int64_t now, unsigned attempt) {
  if (attempt == 0 || attempt >= RETRY_ATTEMPTS) return -1;
  long backoff = kBackoff[attempt - 1];
  long s = a->status;
  // GitHub's rate limits answer 403 (or 429) and say so in their headers; a
  // plain 403 is a refusal that no retry changes.
  int limited = a->retry_after >= 0 || a->rate_exhausted;
  if (s == 0 || s == 408 || s >= 500 || ((s == 403 || s == 429) && limited) ||
      (s == 429 && !limited)) {
    if (a->retry_after >= 0) return a->retry_after > backoff ? a->retry_after : backoff;
    if (a->rate_exhausted && a->rate_reset > now) {
      int64_t until = a->rate_reset - now + 1;
      return until > 100000 ? 100000 : (long)until;
    }
    return backoff;
  }
  return -1;
}
