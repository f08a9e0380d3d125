#include "sha256.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "file_digest.h"
#include "zip_bytes.h"

namespace {

std::string hex_of(const std::string& data, size_t chunk) {
  Sha256 h;
  sha256_init(&h);
  for (size_t at = 0; at < data.size(); at += chunk)
    sha256_update(&h, data.data() + at, std::min(chunk, data.size() - at));
  uint8_t digest[32];
  sha256_final(&h, digest);
  char hex[65];
  sha256_hex(digest, hex);
  return hex;
}

// FIPS 180-2 examples and lengths around the padding boundary (55/56/64
// bytes), where the length has to move to a block of its own.
TEST(Sha256, KnownAnswers) {
  struct {
    std::string data;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_of(c.data, c.data.size() ? c.data.size() : 1), c.hex) << c.data.size();
    // Fed in pieces that straddle block edges, the digest must not change.
    for (size_t chunk : {1, 3, 63, 65, 4096}) EXPECT_EQ(hex_of(c.data, chunk), c.hex) << chunk;
  }
}

TEST(HashFile, GivesDigestAndSizeOfWhatWasRead) {
  // Larger than the streaming buffer, so the loop goes round more than once.
  std::string data(600 * 1024 + 17, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 7 + i / 1000);
  TempFile f("hash_file_case.bin", data);
  char hex[65];
  uint64_t size = 0;
  ASSERT_TRUE(hash_file(f.path.c_str(), hex, &size));
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(std::string(hex), hex_of(data, data.size()));
  EXPECT_FALSE(hash_file("no-such-file.zip", hex, &size));
}

}  // namespace
