// Which paths reach a narrow-argument program (tar) intact: under the test
// prefix's Windows-1252, as on a Western-European Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/text_win.h"

TEST(SurvivesAnsi, LettersOfTheCodePageOnly) {
  // Under UTF-8 every letter survives and this would prove nothing.
  ASSERT_EQ(1252u, GetACP()) << "the test prefix's ANSI code page is not Windows-1252";
  EXPECT_TRUE(survives_ansi(L"C:\\users\\J\u00f6rg\\AppData\\Local"));
  EXPECT_TRUE(survives_ansi(L"C:\\Program Files\\\u20ac \u00e6\u00df"));  // 0x80 and beyond
  EXPECT_TRUE(survives_ansi(L""));
  // Best fit would turn these into L, O and a question mark.
  EXPECT_FALSE(survives_ansi(L"C:\\users\\\u0141ukasz"));
  EXPECT_FALSE(survives_ansi(L"C:\\users\\\u03a9mega"));
  EXPECT_FALSE(survives_ansi(L"C:\\\u6e38\u620f"));
  EXPECT_FALSE(survives_ansi(L"\xd800"));  // a lone surrogate
  // Longer than any path the setup forms: refused, never cut.
  EXPECT_TRUE(survives_ansi(std::wstring(1023, L'a').c_str()));
  EXPECT_FALSE(survives_ansi(std::wstring(1024, L'a').c_str()));
}
