// Command-line handling, bounded text helpers and the memory sink.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/bounds.h"
#include "base/cmdline.h"
#include "net/mem_buffer.h"

TEST(Cmdline, CopiesAtMost2047UnitsAndTreatsNullAsEmpty) {
  std::wstring longer(5000, L'x');
  set_cmdline(longer.c_str());
  EXPECT_EQ(2047u, wcslen(g_cmdline));
  EXPECT_EQ(0, g_cmdline[2047]);
  set_cmdline(nullptr);
  EXPECT_EQ(0, g_cmdline[0]);
}

TEST(Cmdline, CutsTheFirstRepairOnly) {
  set_cmdline(L"a --repair b --repair");
  EXPECT_TRUE(cmdline_cut(L"--repair"));
  EXPECT_STREQ(L"a  b --repair", g_cmdline);
  set_cmdline(L"--repair");
  EXPECT_TRUE(cmdline_cut(L"--repair"));
  EXPECT_STREQ(L"", g_cmdline);
  EXPECT_FALSE(cmdline_cut(L"--repair"));
  set_cmdline(L"--Repair");  // case-sensitive
  EXPECT_EQ(-1, cmdline_find(L"--repair"));
}

TEST(Bounds, CutAndTerminate) {
  char small[4];
  EXPECT_EQ(3u, COPY_CUT(small, "abcdef"));
  EXPECT_STREQ("abc", small);
  EXPECT_FALSE(FMT_CUT(small, "%s-%d", "ab", 12));
  EXPECT_STREQ("ab-", small);
  EXPECT_TRUE(FMT_CUT(small, "%d", 123));
  EXPECT_STREQ("123", small);
  EXPECT_FALSE(FMT_CUT(small, "%llu", 1234ULL));
  EXPECT_STREQ("123", small);
}

TEST(MemSink, GrowsToTwiceWhatIsNeededAndKeepsANul) {
  MemBuffer b = {};
  ASSERT_TRUE(mem_sink(&b, "0123456789", 10));
  EXPECT_EQ(22u, b.cap);
  EXPECT_EQ(10u, b.len);
  EXPECT_EQ(0, b.data[10]);
  char* before = b.data;
  ASSERT_TRUE(mem_sink(&b, "abcde", 5));  // needs 16: fits, no new block
  EXPECT_EQ(before, b.data);
  EXPECT_EQ(22u, b.cap);
  EXPECT_STREQ("0123456789abcde", b.data);
  mem_free(&b);
  EXPECT_EQ(nullptr, b.data);
  EXPECT_EQ(0u, b.len);
}

TEST(MemSink, RefusedGrowthLeavesTheBufferIntact) {
  MemBuffer b = {};
  ASSERT_TRUE(mem_sink(&b, "abc", 3));
  char* data = b.data;
  // A length no allocator can double: the sink must refuse, not wrap.
  MemBuffer huge = b;
  huge.len = UINT64_MAX - 2;
  EXPECT_FALSE(mem_sink(&huge, "x", 1));
  EXPECT_EQ(data, huge.data);
  EXPECT_EQ(UINT64_MAX - 2, huge.len);
  huge.len = (uint64_t)1 << 62;
  EXPECT_FALSE(mem_sink(&huge, "x", 1));
  EXPECT_EQ(data, huge.data);
  EXPECT_EQ(b.cap, huge.cap);
  EXPECT_STREQ("abc", b.data);
  mem_free(&b);
}
