// Which answers are worth another attempt, and how long each wait is.
#include <gtest/gtest.h>

#include "install/retry.h"

namespace {

TEST(StatusClass, EveryBoundaryFallsOnItsSide) {
  const struct {
    uint32_t status;
    bool transient;
  } cases[] = {
      {0, true},      // no answer at all
      {1, false},     {199, false},
      {200, true},    // an answer whose body did not arrive whole
      {201, false},   {402, false},
      {403, true},    {404, false},  {407, false},
      {408, true},    {409, false},  {428, false},
      {429, true},    {430, false},  {499, false},
      {500, true},    {599, true},   {4294967295u, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(status_is_transient(c.status) != 0, c.transient) << "status " << c.status;
  }
}

TEST(Waits, EightAttemptsWithWaitsGrowingToAMinute) {
  const int want[] = {3, 6, 12, 20, 30, 45, 60};
  ASSERT_EQ(DOWNLOAD_ATTEMPTS, 8);
  ASSERT_EQ(sizeof waits / sizeof waits[0], sizeof want / sizeof want[0]);
  int total = 0;
  for (size_t i = 0; i < sizeof want / sizeof want[0]; i++) {
    EXPECT_EQ(waits[i], want[i]) << "wait before attempt " << i + 2;
    total += waits[i];
  }
  EXPECT_EQ(total, 176);
}

}  // namespace
