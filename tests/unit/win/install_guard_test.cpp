// The install guard as the system sees it: one data root, however spelled,
// one holder at a time; dropping it lets the next run in; nothing on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/text_win.h"
#include "install/guard_win.h"

namespace {

void set_base(const wchar_t* value) { SetEnvironmentVariableW(L"TAMROCK_SETUP_BASE", value); }

TEST(InstallGuard, OneHolderPerDataRootHoweverSpelled) {
  wchar_t cwd[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
  wchar_t root[MAX_PATH];
  WFMT(root, L"%ls\\Guard-Test-Root", cwd);

  set_base(root);
  ASSERT_TRUE(take_install_guard());
  const uint64_t key = g_guard_key;
  // The same folder in another case, with trailing separators, relative:
  // each finds the guard taken.
  for (const wchar_t* same : {L"guard-test-root", L".\\GUARD-TEST-ROOT\\", L"Guard-Test-Root\\\\"}) {
    set_base(same);
    EXPECT_FALSE(take_install_guard()) << same;
    EXPECT_EQ(g_guard_key, key) << same;
  }
  release_install_guard();

  set_base(L"Guard-Test-Root-2");
  EXPECT_TRUE(take_install_guard());
  EXPECT_NE(g_guard_key, key);
  release_install_guard();

  set_base(root);
  EXPECT_TRUE(take_install_guard()) << "a dropped guard must let the next run in";
  release_install_guard();
  EXPECT_EQ(GetFileAttributesW(root), INVALID_FILE_ATTRIBUTES) << "the guard is no file";
  set_base(nullptr);
}

}  // namespace
