// The setup list's address and the tag asked for with --tag.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "base/cmdline.h"
#include "net/release_host.h"
#include "net/setup_address.h"

static std::string tag_of(const wchar_t* cmdline) {
  set_cmdline(cmdline);
  char tag[128];
  requested_tag(tag);
  return tag;
}

TEST(RequestedTag, ScansTheFirstOptionOnly) {
  const struct {
    const wchar_t* cmdline;
    const char* tag;
  } cases[] = {
      {L"", ""},
      {L"--tag 1.4.2", "1.4.2"},
      {L"--tag \"1.4.2\" --repair", "1.4.2"},
      {L"--tag    \" \"1.4.2\"x", "1.4.2"},  // any mix of blanks and quotes before
      {L"--tag 1.4.2+1", ""},                // '+' empties the tag
      {L"--tag a/b", ""},
      {L"--tag 1.4\t2", ""},
      {L"--tag=1.4.2", ""},
      {L"--tag", ""},
      {L"--tag ", ""},
      {L"--tag   \"\" ", ""},
      {L"--tag bad! --tag 1.0", ""},  // only the first occurrence counts
      {L"--tag 1.0 --tag 2.0", "1.0"},
      {L"x--tag v_1-rc.2", "v_1-rc.2"},
      {L"--tag \u00e91", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (const char*)c.tag);
    EXPECT_EQ(c.tag, tag_of(c.cmdline));
  }
}

TEST(RequestedTag, CutAt127) {
  std::wstring line = L"--tag " + std::wstring(200, L'a');
  EXPECT_EQ(std::string(127, 'a'), tag_of(line.c_str()));
}

TEST(ListAddress, OverrideTagAndLatest) {
  char out[1024];
  build_list_address(nullptr, "", out);
  EXPECT_EQ(std::string(RELEASE_HOST) + REPOSITORY + "/releases/latest/download/brisquel-setup.txt",
            out);
  build_list_address("", "1.4.2", out);  // an empty override counts as unset
  EXPECT_EQ(std::string(RELEASE_HOST) + REPOSITORY + "/releases/download/1.4.2/brisquel-setup.txt",
            out);
  build_list_address("https://mirror/x.txt", "1.4.2", out);
  EXPECT_STREQ("https://mirror/x.txt", out);
  std::string big(2000, 'b');
  build_list_address(big.c_str(), "", out);
  EXPECT_EQ(big.substr(0, 1023), out);
}

TEST(ListAddress, ManifestUrlReadsEnvironmentEachTime) {
  set_cmdline(L"--tag 2.0");
#ifdef _WIN32
  _putenv("TAMROCK_SETUP_LIST=");
#else
  unsetenv("TAMROCK_SETUP_LIST");
#endif
  EXPECT_EQ(std::string(RELEASE_HOST) + REPOSITORY + "/releases/download/2.0/brisquel-setup.txt",
            manifest_url());
#ifdef _WIN32
  _putenv("TAMROCK_SETUP_LIST=https://other/list.txt");
#else
  setenv("TAMROCK_SETUP_LIST", "https://other/list.txt", 1);
#endif
  EXPECT_STREQ("https://other/list.txt", manifest_url());
#ifdef _WIN32
  _putenv("TAMROCK_SETUP_LIST=");
#else
  unsetenv("TAMROCK_SETUP_LIST");
#endif
}
