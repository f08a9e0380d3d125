// Which HTTP statuses are retried, and the schedule of waits.
#include <gtest/gtest.h>

#include "install/retry.h"

TEST(RetryRules, TransientAndFinalStatuses) {
  const struct {
    uint32_t status;
    int transient;
  } cases[] = {
      {0, 1},   {1, 0},   {199, 0}, {200, 1}, {201, 0}, {301, 0}, {402, 0},
      {403, 1}, {404, 0}, {407, 0}, {408, 1}, {409, 0}, {428, 0}, {429, 1},
      {430, 0}, {499, 0}, {500, 1}, {503, 1}, {599, 1}, {4294967295u, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(c.transient, status_is_transient(c.status)) << c.status;
}

TEST(RetryRules, EightAttemptsOverThreeMinutes) {
  const int expected[] = {3, 6, 12, 20, 30, 45, 60};
  ASSERT_EQ(sizeof expected / sizeof expected[0], sizeof waits / sizeof waits[0]);
  for (int i = 0; i < 7; i++) EXPECT_EQ(expected[i], waits[i]);
}
