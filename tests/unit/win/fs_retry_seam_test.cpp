// Files and folders that another program holds for a moment, as an
// antivirus scan does: which refusals are waited out, the waits, what ends
// them, and a tree whose files are held. The holds are real (a handle
// without delete sharing, a read-only attribute); the waits are the fake
// pause, which lets a hold go at a chosen wait.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/fs_win.h"
#include "unit/seams/fakes.h"

namespace {

const std::vector<int> kSchedule = {25, 50, 100, 200, 400, 800, 1600, 1600, 1600};

HANDLE g_held = INVALID_HANDLE_VALUE;
std::wstring g_read_only;
size_t g_let_go_at;

void let_go_at_nth(size_t nth) {
  if (nth != g_let_go_at) return;
  if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
  g_held = INVALID_HANDLE_VALUE;
  if (!g_read_only.empty()) SetFileAttributesW(g_read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
}

class FileHolds : public testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    dir_ = fake::make_temp_dir(L"brisquel_holds");
    g_held = INVALID_HANDLE_VALUE;
    g_read_only.clear();
    g_let_go_at = 0;
  }
  void TearDown() override {
    for (HANDLE h : extra_) CloseHandle(h);
    if (g_held != INVALID_HANDLE_VALUE) CloseHandle(g_held);
    g_held = INVALID_HANDLE_VALUE;
    if (!g_read_only.empty()) SetFileAttributesW(g_read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
    fake::remove_tree(dir_);
  }

  std::wstring file(const std::wstring& name, const char* bytes = "data") {
    std::wstring path = dir_ + L"\\" + name;
    size_t cut = path.rfind(L'\\');
    make_dirs(path.substr(0, cut).c_str());
    fake::write_file(path, bytes);
    return path;
  }
  // Opened the way a scanner opens a file: reading, no delete sharing.
  static HANDLE open_like_a_scanner(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  void hold_until_wait(const std::wstring& path, size_t nth) {
    g_held = open_like_a_scanner(path);
    g_let_go_at = nth;
    fake::on_pause_ms(let_go_at_nth);
  }
  void hold_forever(const std::wstring& path) { extra_.push_back(open_like_a_scanner(path)); }

  static bool exists(const std::wstring& path) { return path_exists(path.c_str()) != 0; }
  static std::vector<int> first_waits(size_t n) {
    return std::vector<int>(kSchedule.begin(), kSchedule.begin() + n);
  }

  std::wstring dir_;
  std::vector<HANDLE> extra_;
};

TEST_F(FileHolds, AHeldFileIsWaitedForAndTheStatusNamesOnlyALongHold) {
  // A short scan: gone at the third wait, before anything is shown.
  std::wstring a = file(L"a.zip.part");
  hold_until_wait(a, 3);
  ASSERT_TRUE(fs_retry(FS_MOVE, a.c_str(), (dir_ + L"\\a.zip").c_str()));
  EXPECT_EQ(fake::pauses_ms(), first_waits(3));
  EXPECT_TRUE(exists(dir_ + L"\\a.zip"));
  EXPECT_TRUE(fake::statuses().empty());

  // A scan of 1.5 s: the sixth attempt gets through, and the status line
  // has said once what the setup waits for.
  fake::reset();
  std::wstring b = file(L"b.zip");
  hold_until_wait(b, 6);
  ASSERT_TRUE(fs_retry(FS_DELETE, b.c_str()));
  EXPECT_EQ(fake::pauses_ms(), first_waits(6));
  EXPECT_FALSE(exists(b));
  EXPECT_EQ(fake::statuses(), std::vector<std::wstring>{
                                  L"Waiting for Windows to release b.zip (an antivirus may be "
                                  L"scanning it)..."});

  // Access denied (a read-only file here, a folder with a held file on
  // Windows) is waited out the same way.
  fake::reset();
  std::wstring c = file(L"c.txt");
  ASSERT_TRUE(SetFileAttributesW(c.c_str(), FILE_ATTRIBUTE_READONLY));
  g_read_only = c;
  g_let_go_at = 2;
  fake::on_pause_ms(let_go_at_nth);
  ASSERT_TRUE(fs_retry(FS_DELETE, c.c_str()));
  EXPECT_EQ(fake::pauses_ms(), first_waits(2));
  EXPECT_FALSE(exists(c));
}

TEST_F(FileHolds, AHoldThatNeverEndsGivesUpAfterTheWholeSchedule) {
  std::wstring a = file(L"staged\\run.exe");
  hold_forever(a);
  EXPECT_FALSE(fs_retry(FS_DELETE, a.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(fake::pauses_ms(), kSchedule);
  EXPECT_TRUE(exists(a));
  EXPECT_EQ(fake::statuses().size(), 1u);

  fake::reset();
  EXPECT_FALSE(fs_retry(FS_MOVE, a.c_str(), (dir_ + L"\\moved.exe").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_EQ(fake::pauses_ms(), kSchedule);
  EXPECT_FALSE(exists(dir_ + L"\\moved.exe"));
}

TEST_F(FileHolds, OtherErrorsAreFinalAtOnce) {
  std::wstring a = file(L"a.txt", "mine"), b = file(L"b.txt", "theirs");
  EXPECT_FALSE(fs_retry(FS_DELETE, (dir_ + L"\\missing.zip").c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs_retry(FS_MOVE, a.c_str(), b.c_str()));
  DWORD exists_error = GetLastError();
  EXPECT_TRUE(exists_error == ERROR_ALREADY_EXISTS || exists_error == ERROR_FILE_EXISTS)
      << exists_error;
  EXPECT_FALSE(fs_retry(FS_REMOVE_DIR, dir_.c_str()));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(fake::pauses_ms().empty());
  EXPECT_TRUE(fake::statuses().empty());
  EXPECT_TRUE(exists(a) && exists(b));
}

TEST_F(FileHolds, ATreeWaitsForABriefHoldButOnlyOnceForHoldsThatNeverEnd) {
  std::wstring tree = dir_ + L"\\2.0.gone";
  file(L"2.0.gone\\base.txt");
  std::wstring scanned = file(L"2.0.gone\\deep\\payload.bin");
  hold_until_wait(scanned, 2);
  ASSERT_TRUE(rmtree(tree.c_str()));
  EXPECT_EQ(fake::pauses_ms(), first_waits(2));
  EXPECT_FALSE(exists(tree));

  // Two files in use for good: one run of waits in all, then every other
  // entry is tried once; what is not held goes.
  fake::reset();
  std::wstring free1 = file(L"3.0.gone\\a.txt"), free2 = file(L"3.0.gone\\z\\b.txt");
  std::wstring used1 = file(L"3.0.gone\\m.exe"), used2 = file(L"3.0.gone\\z\\n.dll");
  hold_forever(used1);
  hold_forever(used2);
  EXPECT_FALSE(rmtree((dir_ + L"\\3.0.gone").c_str()));
  EXPECT_EQ(fake::pauses_ms(), kSchedule);
  EXPECT_FALSE(exists(free1));
  EXPECT_FALSE(exists(free2));
  EXPECT_TRUE(exists(used1) && exists(used2));
}

TEST_F(FileHolds, ATreeGoesWhateverItsDepthUnlessItsDeadlineHasPassed) {
  // Nested package folders past 259 units, as tar makes them under a
  // user's folder; reached through a doubled separator, as a data root
  // given with a trailing one yields.
  std::wstring tree = dir_ + L"\\4.0.gone", deep = L"\\\\?\\" + tree;
  make_dirs(tree.c_str());
  for (int i = 0; i < 14; i++)
    ASSERT_TRUE(CreateDirectoryW((deep += L"\\node_modules_x").c_str(), nullptr));
  fake::write_file(deep + L"\\index.js", "x");
  ASSERT_GT(deep.size(), 264u);
  EXPECT_FALSE(rmtree(tree.c_str(), 1));
  EXPECT_TRUE(exists(deep + L"\\index.js"));
  EXPECT_TRUE(rmtree((dir_ + L"\\\\4.0.gone").c_str()));
  EXPECT_FALSE(exists(tree));
}

}  // namespace
