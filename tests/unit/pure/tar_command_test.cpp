// tar's command line: full paths when they survive the ANSI code page,
// forms relative to the destination (tar's working directory) otherwise.
#include <gtest/gtest.h>

#include <string>

#include "install/tar_command.h"

namespace {

const wchar_t kSys[] = L"C:\\windows\\system32";

std::wstring line(const wchar_t* archive, const wchar_t* dest, int ansi_ok, size_t cap = 584,
                  int* fits = nullptr) {
  wchar_t out[584];
  int ok = tar_command(out, cap, kSys, archive, dest, ansi_ok);
  if (fits) *fits = ok;
  return out;
}

std::wstring full(const std::wstring& archive, const std::wstring& dest) {
  return L"\"C:\\windows\\system32\\tar.exe\" -xf \"" + archive + L"\" -C \"" + dest + L"\"";
}

std::wstring relative(const std::wstring& archive) {
  return L"\"C:\\windows\\system32\\tar.exe\" -xf \"" + archive + L"\" -C \".\"";
}

}  // namespace

TEST(TarCommand, PathsThatSurviveTheCodePageAreGivenWhole) {
  const wchar_t* cases[][2] = {
      {L"C:\\users\\J\u00f6rg\\AppData\\Local\\BrisquelBuilder\\downloads\\ab.zip",
       L"C:\\users\\J\u00f6rg\\AppData\\Local\\BrisquelBuilder\\versions\\1.0.part"},
      {L"Z:\\tmp\\data\\downloads\\ab.zip", L"Z:\\tmp\\data\\versions\\1.0.part\\a\\b"},
      // Even where a relative form exists, or none does.
      {L"C:\\d\\downloads\\ab.zip", L"D:\\staging"},
  };
  for (auto& c : cases) EXPECT_EQ(full(c[0], c[1]), line(c[0], c[1], 1)) << c[1];
}

TEST(TarCommand, OtherPathsAreNamedFromTheDestination) {
  const wchar_t root[] = L"C:\\users\\\u0141ukasz \u03a9mega\\AppData\\Local\\BrisquelBuilder";
  std::wstring archive = std::wstring(root) + L"\\downloads\\0123abcd.zip";
  const struct {
    const wchar_t* dest_below_root;
    const wchar_t* expected;
  } cases[] = {
      {L"\\versions\\1.0.part", L"..\\..\\downloads\\0123abcd.zip"},
      {L"\\versions\\1.0.part\\TamrockBuilder\\content",
       L"..\\..\\..\\..\\downloads\\0123abcd.zip"},
      // Doubled and trailing separators name no folder.
      {L"\\versions\\\\1.0.part\\a\\", L"..\\..\\..\\downloads\\0123abcd.zip"},
      {L"\\downloads", L"0123abcd.zip"},
  };
  for (auto& c : cases) {
    std::wstring dest = std::wstring(root) + c.dest_below_root;
    EXPECT_EQ(relative(c.expected), line(archive.c_str(), dest.c_str(), 0)) << dest;
  }
  // Names compare without regard to ASCII case, as Windows compares them.
  EXPECT_EQ(relative(L"..\\..\\downloads\\ab.zip"),
            line(L"C:\\Users\\\u0141\\Local\\downloads\\ab.zip", L"c:\\users\\\u0141\\Local\\versions\\1.part", 0));
}

TEST(TarCommand, WithoutAnAsciiRelativeFormTheFullPathsStay) {
  const struct {
    const wchar_t* archive;
    const wchar_t* dest;
  } cases[] = {
      {L"C:\\\u0141\\downloads\\ab.zip", L"D:\\\u0141\\staging"},          // other drive
      {L"\\\\srv\\\u0141\\ab.zip", L"C:\\srv\\\u0141\\staging"},           // share against drive
      {L"C:\\\u0141\\d\u00f6wnloads\\ab.zip", L"C:\\\u0141\\staging"},     // non-ASCII past it
      {L"C:\\\u0141\\staging", L"C:\\\u0141\\staging"},                    // no file named
      // A ".." past the shared folder would be counted as a step down.
      {L"C:\\\u0141\\downloads\\ab.zip", L"C:\\\u0141\\..\\\u0141\\staging"},
  };
  for (auto& c : cases) EXPECT_EQ(full(c.archive, c.dest), line(c.archive, c.dest, 0)) << c.archive;
}

TEST(TarCommand, CutsAtTheBoundAndSaysSo) {
  std::wstring deep = L"C:\\" + std::wstring(270, L'x');
  int fits = 1;
  std::wstring cut = line((deep + L"\\a.zip").c_str(), (deep + L"\\b").c_str(), 1, 584, &fits);
  EXPECT_FALSE(fits);
  EXPECT_EQ(583u, cut.size());
  EXPECT_EQ(full(deep + L"\\a.zip", deep + L"\\b").substr(0, 583), cut);
  // The relative form of the same paths is short enough.
  EXPECT_EQ(relative(L"..\\a.zip"), line((deep + L"\\a.zip").c_str(), (deep + L"\\b").c_str(), 0, 584, &fits));
  EXPECT_TRUE(fits);
  wchar_t tiny[8];
  EXPECT_FALSE(tar_command(tiny, 8, kSys, L"a", L"b", 1));
  EXPECT_EQ(std::wstring(L"\"C:\\win"), tiny);
}
