// Which answers are worth another attempt, and how long each wait is.
#include <gtest/gtest.h>

#include <vector>

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

TEST(FileHolds, OnlyTheErrorsOfAHeldFileOrFolderAreRetried) {
  EXPECT_TRUE(fs_error_is_transient(32));  // sharing violation: a file held open
  EXPECT_TRUE(fs_error_is_transient(5));   // access denied: a folder with a held file
  // Final at once: not found (2, 3), already exists (80, 183), directory
  // not empty (145), a full disk (112), a bad name (123), a lock (33).
  for (unsigned long e : {0ul, 2ul, 3ul, 4ul, 6ul, 33ul, 80ul, 112ul, 123ul, 145ul, 183ul,
                          1224ul, 0xfffffffful})
    EXPECT_FALSE(fs_error_is_transient(e)) << "error " << e;
}

TEST(FileHolds, WaitsDoubleFromAFewMillisecondsToABoundOfAFewSeconds) {
  EXPECT_EQ(std::vector<int>(fs_waits_ms, fs_waits_ms + FS_ATTEMPTS - 1),
            (std::vector<int>{25, 50, 100, 200, 400, 800, 1600, 1600, 1600}));
  EXPECT_EQ(fs_waits_total(FS_ATTEMPTS - 1), 6375);
  // A hold of 1.5 s (a slow scan) is outlasted by the sixth attempt, and
  // only a hold that long is named on the status line.
  EXPECT_EQ(fs_waits_total(6), 1575);
  EXPECT_GT(FS_WAIT_SHOWN_MS, fs_waits_total(3));
  EXPECT_LE(FS_WAIT_SHOWN_MS, fs_waits_total(5));
}

}  // namespace
