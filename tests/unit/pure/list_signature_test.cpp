// Base64 held to its one spelling, and the signature line found only where
// a signed list may carry it.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "base/base64.h"
#include "setuplist/list_signature.h"

TEST(Base64, KnownAnswersBothWaysAndOnlyTheCanonicalForm) {
  const char* const pairs[][2] = {{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                  {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                  {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="}};
  for (auto& p : pairs) {
    char out[16];
    size_t n = strlen(p[0]);
    EXPECT_EQ(base64_encode((const uint8_t*)p[0], n, out, sizeof out), strlen(p[1]));
    EXPECT_STREQ(out, p[1]);
    uint8_t back[8];
    ASSERT_TRUE(base64_decode_exact(p[1], strlen(p[1]), back, n)) << p[1];
    EXPECT_EQ(std::string((char*)back, n), p[0]);
  }
  const struct {
    const char* text;
    size_t bytes;
  } bad[] = {{"Zm9", 2},  {"Zm9vY", 4}, {"Zg=", 1},  {"Zh==", 1}, {"Zm9=", 2}, {"Z===", 1},
             {"Zg==Zm9v", 4}, {"Zm-v", 3}, {"Zm9\n", 3}, {"=m9v", 3}, {"Zm=v", 3}, {"Zm9v", 2}};
  for (auto& b : bad) {
    uint8_t back[8];
    EXPECT_FALSE(base64_decode_exact(b.text, strlen(b.text), back, b.bytes)) << b.text;
  }
  char small[4];
  EXPECT_EQ(base64_encode((const uint8_t*)"foo", 3, small, sizeof small), 0u);
}

TEST(ListSignature, FoundOnlyAsTheLastLineWithNothingButLineEndsAfterIt) {
  const std::string sig = std::string(85, 'A') + "w==";  // 64 bytes, the last 0x03
  const std::string body = "tag 1\nrun a.exe\n";
  struct Case {
    std::string text;
    ListSignature want;
    size_t signed_len;
  } cases[] = {
      {body + "sig " + sig + "\n", LIST_SIG_FOUND, body.size()},
      {body + "sig " + sig, LIST_SIG_FOUND, body.size()},
      {"tag 1\r\nsig " + sig + "\r\n\r\n\n", LIST_SIG_FOUND, 7},
      {"sig " + sig, LIST_SIG_FOUND, 0},
      {body, LIST_SIG_NONE, 0},
      {"", LIST_SIG_NONE, 0},
      {"sig " + sig + "\ntag 2\n", LIST_SIG_NONE, 0},                // a line after it
      {body + "sig " + sig + "\n ", LIST_SIG_NONE, 0},               // a blank after it
      {body + "sig " + sig + std::string(1, '\0'), LIST_SIG_MALFORMED, 0},
      {body + "sig " + sig + " \n", LIST_SIG_MALFORMED, 0},
      {body + "sig  " + sig.substr(1) + "\n", LIST_SIG_MALFORMED, 0},
      {body + "sig\t" + sig + "\n", LIST_SIG_MALFORMED, 0},
      {body + "sig " + sig.substr(0, 84) + "==\n", LIST_SIG_MALFORMED, 0},  // padding of a 63-byte one
      {body + "sig " + sig.substr(0, 84) + "\n", LIST_SIG_MALFORMED, 0},    // cut short
      {body + "sig " + sig.substr(0, 85) + "x==\n", LIST_SIG_MALFORMED, 0}, // unused bits set
      {body + "SIG " + sig + "\n", LIST_SIG_NONE, 0},
  };
  for (auto& c : cases) {
    size_t signed_len = 12345;
    uint8_t out[LIST_SIG_BYTES];
    EXPECT_EQ(find_list_signature(c.text.data(), c.text.size(), &signed_len, out), c.want)
        << c.text;
    if (c.want == LIST_SIG_FOUND) {
      EXPECT_EQ(signed_len, c.signed_len) << c.text;
      EXPECT_EQ(out[63], 0x03);
    }
  }
}

TEST(ListSignature, KeysAreUncompressedPointsOnly) {
  uint8_t key[LIST_KEY_BYTES];
  const std::string rest(85, 'A');
  EXPECT_TRUE(decode_list_key(("BA" + rest + "=").c_str(), key));
  EXPECT_EQ(key[0], 0x04);
  EXPECT_FALSE(decode_list_key(("BQ" + rest + "=").c_str(), key));  // 05...
  EXPECT_FALSE(decode_list_key(("AA" + rest + "=").c_str(), key));  // 00...
  EXPECT_FALSE(decode_list_key(("BA" + rest).c_str(), key));
  EXPECT_FALSE(decode_list_key(("BA" + rest + "A=").c_str(), key));
}
