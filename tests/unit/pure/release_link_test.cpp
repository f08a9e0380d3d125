// Release download links taken apart, and the release JSON scanned for an
// asset's API link.
#include <gtest/gtest.h>

#include <string>

#include "net/release_link.h"

static const char kPre[] = "https://github.com/";
static const char kApi[] = "https://api.github.com/";

struct LinkCase {
  std::string link;
  int ok;
  const char* repo;
  const char* tag;
  const char* asset;
};

TEST(ReleaseLink, SplitsBothFormsAndRefusesTheRest) {
  const std::string a255(255 - 2, 'r'), a256(256 - 2, 'r');
  const std::string n259(259, 'n'), n260(260, 'n');
  const LinkCase cases[] = {
      {"https://github.com/o/r/releases/latest/download/brisquel-setup.txt", 1, "o/r", "",
       "brisquel-setup.txt"},
      {"https://github.com/o/r/releases/download/1.4.2/x.zip", 1, "o/r", "1.4.2", "x.zip"},
      {"https://github.com//r/releases/download//x.zip", 1, "/r", "", "x.zip"},  // empties pass
      {"https://example.com/o/r/releases/latest/download/x.zip", 0},
      {"http://github.com/o/r/releases/latest/download/x.zip", 0},
      {"https://github.com/o/r/releases/latest/download/", 0},          // empty asset
      {"https://github.com/o/r/releases/latest/download/a?b", 0},
      {"https://github.com/o/r/releases/latest/download/a#b", 0},
      {"https://github.com/o/r/releases/latest/download/a/b", 0},
      {"https://github.com/o/r/releases/download/1.0", 0},              // no slash after tag
      {"https://github.com/o/r/tags/1.0/x.zip", 0},
      {"https://github.com/o", 0},
      {"https://github.com/o/r", 0},
      {"https://github.com/o/" + a255 + "/releases/latest/download/x", 1, nullptr, "", "x"},
      {"https://github.com/o/" + a256 + "/releases/latest/download/x", 0},
      {"https://github.com/o/r/releases/download/" + std::string(255, 't') + "/x", 1, "o/r",
       nullptr, "x"},
      {"https://github.com/o/r/releases/download/" + std::string(256, 't') + "/x", 0},
      {"https://github.com/o/r/releases/latest/download/" + n259, 1, "o/r", "", nullptr},
      {"https://github.com/o/r/releases/latest/download/" + n260, 0},
  };
  for (const LinkCase& c : cases) {
    ReleaseLink out;
    SCOPED_TRACE(c.link.substr(0, 80));
    ASSERT_EQ(c.ok, split_release_link(c.link.c_str(), kPre, &out));
    if (!c.ok) continue;
    if (c.repo) EXPECT_STREQ(c.repo, out.repo);
    if (c.tag) {
      EXPECT_STREQ(c.tag, out.tag);
      EXPECT_EQ(c.link.find("/latest/") == std::string::npos, out.has_tag);
    }
    if (c.asset) EXPECT_STREQ(c.asset, out.asset);
  }
}

TEST(ReleaseLink, ApiAddressForLatestAndTag) {
  ReleaseLink l;
  char out[1024];
  ASSERT_TRUE(split_release_link("https://github.com/o/r/releases/latest/download/a", kPre, &l));
  ASSERT_TRUE(release_api_address(kApi, &l, out));
  EXPECT_STREQ("https://api.github.com/repos/o/r/releases/latest", out);
  ASSERT_TRUE(split_release_link("https://github.com/o/r/releases/download/1.4.2/a", kPre, &l));
  ASSERT_TRUE(release_api_address(kApi, &l, out));
  EXPECT_STREQ("https://api.github.com/repos/o/r/releases/tags/1.4.2", out);
}

static int scan(const std::string& body, const char* asset, std::string* url) {
  char out[1024];
  int r = find_asset_url(body.data(), body.size(), asset, kApi, out);
  if (r) *url = out;
  return r;
}

TEST(AssetScan, TakesTheAssetsOwnUrlNotTheReleases) {
  const std::string body =
      "{\"url\": \"https://api.github.com/repos/o/r/releases/1\", \"name\": \"Brisquel 1.0\",\n"
      " \"assets\": [\n"
      "  {\"url\": \"https://api.github.com/repos/o/r/releases/assets/10\", \"id\": 10,"
      "   \"name\": \"other.zip\"},\n"
      "  {\"url\":\t\"https://api.github.com/repos/o/r/releases/assets/11\",\r\n \"id\": 11,\n"
      "   \"name\" :\n \"brisquel-setup.txt\"}]}";
  std::string url;
  ASSERT_TRUE(scan(body, "brisquel-setup.txt", &url));
  EXPECT_EQ("https://api.github.com/repos/o/r/releases/assets/11", url);
  ASSERT_TRUE(scan(body, "other.zip", &url));
  EXPECT_EQ("https://api.github.com/repos/o/r/releases/assets/10", url);
  EXPECT_FALSE(scan(body, "Brisquel", &url));  // no partial matches
  EXPECT_FALSE(scan(body, "missing.zip", &url));
}

TEST(AssetScan, RefusesMalformedOrForeignValues) {
  std::string url;
  // No "url" before the matching name.
  EXPECT_FALSE(scan("{\"name\": \"a\", \"url\": \"https://api.github.com/x\"}", "a", &url));
  // A url outside the API.
  EXPECT_FALSE(scan("{\"url\": \"https://evil.example/x\", \"name\": \"a\"}", "a", &url));
  // A form feed is not JSON white space here: the key does not match.
  EXPECT_FALSE(scan("{\"url\": \"https://api.github.com/x\", \"name\"\f: \"a\"}", "a", &url));
  // Body ends inside the value.
  EXPECT_FALSE(scan("{\"url\": \"https://api.github.com/x\", \"name\": \"a", "a", &url));
  EXPECT_FALSE(scan("{\"url\": \"https://api.github.com/x", "a", &url));
  EXPECT_FALSE(scan("", "a", &url));
  EXPECT_FALSE(scan("\"name\"", "a", &url));
}

TEST(AssetScan, EscapesAndDecoysAndNul) {
  std::string url;
  // An escaped quote belongs to the value.
  ASSERT_TRUE(scan("{\"url\": \"https://api.github.com/q\", \"name\": \"a\\\"b\"}", "a\"b", &url));
  EXPECT_EQ("https://api.github.com/q", url);
  // A decoy name whose value is not a string is passed over.
  ASSERT_TRUE(scan("{\"name\": 5, \"url\": \"https://api.github.com/u\", \"name\": \"a\"}", "a",
                   &url));
  EXPECT_EQ("https://api.github.com/u", url);
  // The name search stops at a NUL in the body.
  std::string with_nul("{\"url\": \"https://api.github.com/u\",\0 \"name\": \"a\"}", 47);
  EXPECT_FALSE(scan(with_nul, "a", &url));
  // A value longer than the output keeps its first 1023 bytes and then
  // still has to begin with the API base.
  std::string long_url = "https://api.github.com/" + std::string(3000, 'x');
  ASSERT_TRUE(scan("{\"url\": \"" + long_url + "\", \"name\": \"a\"}", "a", &url));
  EXPECT_EQ(1023u, url.size());
}

TEST(AssetScan, ThousandsOfAssetsStayLinear) {
  std::string body = "{\"assets\": [";
  for (int i = 0; i < 5000; i++)
    body += "{\"url\": \"https://api.github.com/a/" + std::to_string(i) + "\", \"name\": \"f" +
            std::to_string(i) + "\"},";
  body += "{\"url\": \"https://api.github.com/a/last\", \"name\": \"wanted\"}]}";
  std::string url;
  ASSERT_TRUE(scan(body, "wanted", &url));
  EXPECT_EQ("https://api.github.com/a/last", url);
}
