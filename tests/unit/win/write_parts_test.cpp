// The parts record on disk: exactly the digests of parts with a folder, LF
// only, replaced whole, and silence when the directory will not take it.
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "base/bounds.h"
#include "setuplist/part_folder.h"

namespace {

const char kSha1[] = "1111111111111111111111111111111111111111111111111111111111111111";
const char kSha2[] = "2222222222222222222222222222222222222222222222222222222222222222";
const char kSha3[] = "3333333333333333333333333333333333333333333333333333333333333333";

PartEntry entry(const char* sha, const char* extract_to, const char* rename_to, const char* url) {
  PartEntry p;
  memset(&p, 0, sizeof p);
  COPY_CUT(p.sha256, sha);
  COPY_CUT(p.extract_to, extract_to);
  COPY_CUT(p.rename_from, "-");
  COPY_CUT(p.rename_to, rename_to);
  COPY_CUT(p.url, url);
  return p;
}

class WriteParts : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, tmp);
    ASSERT_TRUE(n > 0 && n < MAX_PATH);
    dir_ = std::wstring(tmp) + L"write_parts_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
    parts_[0] = entry(kSha1, ".", "-", "https://h/builder.zip");
    parts_[1] = entry(kSha2, "TamrockBuilder/tools", "godot", "https://h/godot.zip");
    parts_[2] = entry(kSha3, ".", "-", "https://h/data.zip");
  }
  void TearDown() override { remove_tree(dir_); }

  static void remove_tree(const std::wstring& d) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((d + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring p = d + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          remove_tree(p);
        else
          DeleteFileW(p.c_str());
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    RemoveDirectoryW(d.c_str());
  }

  // The whole file, or "<absent>".
  static std::string read_all(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "<absent>";
    std::string text;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
    CloseHandle(f);
    return text;
  }

  static void write_all(const std::wstring& path, const std::string& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(f, text.data(), (DWORD)text.size(), &put, nullptr));
    ASSERT_EQ(put, text.size());
    CloseHandle(f);
  }

  std::wstring record_path() const { return dir_ + L"\\parts.txt"; }

  std::wstring dir_;
  PartEntry parts_[3];
};

TEST_F(WriteParts, OnlyPartsWithAFolderLfOnly) {
  write_parts(dir_.c_str(), parts_, 3);
  EXPECT_EQ(read_all(record_path()), std::string(kSha2) + "\n");

  parts_[2] = entry(kSha3, "Anywhere", "-", "https://h/r/TamrockBuilder-wgpu-native-22.zip");
  write_parts(dir_.c_str(), parts_, 3);
  EXPECT_EQ(read_all(record_path()), std::string(kSha2) + "\n" + kSha3 + "\n");
}

TEST_F(WriteParts, ReplacedNotAppended) {
  write_all(record_path(), std::string(3000, 'x') + "\r\n" + kSha1 + "\n");
  write_parts(dir_.c_str(), parts_, 3);
  EXPECT_EQ(read_all(record_path()), std::string(kSha2) + "\n");
  write_parts(dir_.c_str(), parts_, 3);
  EXPECT_EQ(read_all(record_path()), std::string(kSha2) + "\n");
}

TEST_F(WriteParts, NoFolderGivesAnEmptyFile) {
  write_all(record_path(), std::string(kSha1) + "\n");
  write_parts(dir_.c_str(), parts_, 1);
  EXPECT_EQ(read_all(record_path()), "");
}

TEST_F(WriteParts, MissingDirectoryIsTolerated) {
  std::wstring missing = dir_ + L"\\no\\such\\version";
  write_parts(missing.c_str(), parts_, 3);
  EXPECT_EQ(read_all(missing + L"\\parts.txt"), "<absent>");
  EXPECT_EQ(GetFileAttributesW((dir_ + L"\\no").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(WriteParts, RecordThatCannotBeCreatedIsTolerated) {
  // A directory in the record's place: the file cannot be created.
  ASSERT_TRUE(CreateDirectoryW(record_path().c_str(), nullptr));
  write_parts(dir_.c_str(), parts_, 3);
  DWORD attrs = GetFileAttributesW(record_path().c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(WriteParts, RecordHeldOpenElsewhereIsLeftAlone) {
  write_all(record_path(), "old\n");
  HANDLE held = CreateFileW(record_path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  write_parts(dir_.c_str(), parts_, 3);
  CloseHandle(held);
  EXPECT_EQ(read_all(record_path()), "old\n");
}

TEST_F(WriteParts, PathThatWouldBeCutWritesNothing) {
  // A version directory so long that "\parts.txt" no longer fits in 259
  // units: no record may appear under a cut name such as "parts.tx".
  std::wstring longdir = dir_ + L"\\";
  longdir += std::wstring(250 - longdir.size(), L'v');
  ASSERT_EQ(longdir.size(), 250u);
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + longdir).c_str(), nullptr)) << GetLastError();
  write_parts(longdir.c_str(), parts_, 3);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((L"\\\\?\\" + longdir + L"\\*").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int entries = 0;
  do {
    if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L"..")) entries++;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  EXPECT_EQ(entries, 0);

  // One unit shorter fits exactly and is written.
  std::wstring fits = dir_ + L"\\";
  fits += std::wstring(249 - fits.size(), L'w');
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + fits).c_str(), nullptr)) << GetLastError();
  write_parts(fits.c_str(), parts_, 3);
  EXPECT_EQ(read_all(L"\\\\?\\" + fits + L"\\parts.txt"), std::string(kSha2) + "\n");
}

}  // namespace
