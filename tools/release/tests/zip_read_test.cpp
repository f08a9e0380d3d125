#include "zip_read.h"

#include <gtest/gtest.h>
#include <string.h>

#include "zip_bytes.h"

namespace {

struct Seen {
  std::vector<std::string> names;
  std::vector<ZipEntry> entries;
  size_t stop_after = 0;  // 0: never stop
};

int collect(void* ctx, const ZipEntry* e) {
  Seen* s = (Seen*)ctx;
  s->names.push_back(e->name);
  s->entries.push_back(*e);
  return s->stop_after == 0 || s->names.size() < s->stop_after;
}

const std::vector<TestEntry> kThree = {
    {"TamrockBuilder/", ""}, {"TamrockBuilder/TamrockBuilder.exe", "MZ"}, {"readme.txt", "hi"}};

const uint16_t kUtf8Name = 1 << 11;

struct Walk {
  int ok;
  uint64_t count;
  Seen seen;
  std::string why;
};

Walk walk(const std::string& bytes, int read_contents, size_t stop_after = 0) {
  TempFile f("zip_read_case.zip", bytes);
  Walk w;
  char why[512];
  w.seen.stop_after = stop_after;
  w.ok = zip_walk(f.path.c_str(), read_contents, collect, &w.seen, &w.count, why, sizeof why);
  w.why = why;
  return w;
}

TEST(ZipWalk, GivesEntriesInOrderWithTheirKind) {
  std::vector<TestEntry> entries = kThree;
  entries.push_back({"lzma.bin", "x", 0, 14});
  entries.push_back({"secret.txt", "x", 1, 0});
  Walk w = walk(zip_bytes(entries, {"a comment", true}), 0);
  ASSERT_TRUE(w.ok) << w.why;
  ASSERT_EQ(w.count, 5u);
  EXPECT_EQ(w.seen.names, (std::vector<std::string>{"TamrockBuilder/", "TamrockBuilder/TamrockBuilder.exe",
                                                     "readme.txt", "lzma.bin", "secret.txt"}));
  EXPECT_EQ(w.seen.entries[0].type, ZIP_DIR);
  EXPECT_EQ(w.seen.entries[1].type, ZIP_FILE);
  EXPECT_TRUE(w.seen.entries[1].stored_or_deflated);
  EXPECT_FALSE(w.seen.entries[1].encrypted);
  EXPECT_FALSE(w.seen.entries[3].stored_or_deflated);
  EXPECT_TRUE(w.seen.entries[4].encrypted);
}

TEST(ZipWalk, StopsWhenTheVisitorSaysSo) {
  Walk w = walk(zip_bytes(kThree), 1, 2);
  EXPECT_TRUE(w.ok) << w.why;
  EXPECT_EQ(w.seen.names.size(), 2u);
}

TEST(ZipWalk, ReadsContentsOnlyWhenAsked) {
  // One byte of the second file's data flipped: its CRC no longer matches.
  std::string bytes = zip_bytes(kThree);
  size_t at = bytes.find("MZ");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'N';
  Walk headers = walk(bytes, 0);
  EXPECT_TRUE(headers.ok) << headers.why;
  EXPECT_EQ(headers.count, 3u);
  Walk contents = walk(bytes, 1);
  EXPECT_FALSE(contents.ok);
  EXPECT_NE(contents.why.find("cannot be read at entry \"TamrockBuilder/TamrockBuilder.exe\""),
            std::string::npos) << contents.why;
}

TEST(ZipWalk, RefusesWhatTarCannotRead) {
  std::string plain = zip_bytes({{"a.txt", std::string(5000, 'a')}, {"b.txt", "b"}});
  struct {
    const char* what;
    std::string bytes;
    const char* piece;
  } cases[] = {
      {"empty file", "", "is not a zip archive that tar can read"},
      {"text file", std::string(5000, 'a'), "is not a zip archive that tar can read"},
      {"cut inside the first entry's data", plain.substr(0, 2000), "cannot be read"},
  };
  for (const auto& c : cases) {
    Walk w = walk(c.bytes, 1);
    EXPECT_FALSE(w.ok) << c.what;
    EXPECT_NE(w.why.find(c.piece), std::string::npos) << c.what << ": " << w.why;
  }
  Seen seen;
  uint64_t count;
  char why[256];
  EXPECT_FALSE(zip_walk("no-such-archive.zip", 0, collect, &seen, &count, why, sizeof why));
  EXPECT_NE(strstr(why, "cannot be opened: "), nullptr) << why;
}

TEST(ZipWalk, RefusesNamesInACodePage) {
  // "é" as UTF-8 bytes, marked and unmarked, and as a lone code-page byte.
  std::vector<TestEntry> marked = {{"caf\xc3\xa9-marked.txt", "1", kUtf8Name}, {"plain.txt", "2"}};
  Walk w = walk(zip_bytes(marked), 1);
  ASSERT_TRUE(w.ok) << w.why;
  EXPECT_EQ(w.seen.names[0], "caf\xc3\xa9-marked.txt");
  for (const char* name : {"caf\xc3\xa9-unmarked.txt", "caf\x82-cp437.txt"}) {
    std::vector<TestEntry> entries = marked;
    entries.push_back({name, "3"});
    Walk c = walk(zip_bytes(entries), 1);
    EXPECT_FALSE(c.ok) << name;
    EXPECT_EQ(c.count, 3u);
    EXPECT_NE(c.why.find("has an entry name stored in a code page"), std::string::npos) << c.why;
    // Only a walk that reads contents looks at the names this way.
    EXPECT_TRUE(walk(zip_bytes(entries), 0).ok) << name;
  }
}

}  // namespace
