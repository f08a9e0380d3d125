#include "zip_dir.h"

#include <gtest/gtest.h>
#include <string.h>

#include "zip_bytes.h"

namespace {

struct Seen {
  std::vector<std::string> names;
  std::vector<uint32_t> stored_len;
  std::vector<uint16_t> methods;
  size_t stop_after = 0;  // 0: never stop
};

int collect(void* ctx, const ZipEntry* e) {
  Seen* s = (Seen*)ctx;
  s->names.push_back(e->name);
  s->stored_len.push_back(e->name_len);
  s->methods.push_back(e->method);
  return s->stop_after == 0 || s->names.size() < s->stop_after;
}

const std::vector<TestEntry> kThree = {
    {"TamrockBuilder/", ""}, {"TamrockBuilder/TamrockBuilder.exe", "MZ"}, {"readme.txt", "hi", 0, 8}};

struct Case {
  const char* what;
  std::string bytes;
  ZipResult result;
  size_t names;  // how many entries the walk visits
};

TEST(ZipWalk, ReadsOrRefusesArchives) {
  std::string plain = zip_bytes(kThree);
  // A complete fake record inside the comment, claiming a split archive and
  // a comment that ends before the file does: only the real record reaches
  // exactly to the end.
  std::string sig_in_comment = std::string("PK\x05\x06", 4) + std::string(16, '\x01') +
                               std::string(2, '\0') + "after the fake";
  std::string garbage_after = plain + std::string(100, 'x');
  std::string cut = plain.substr(0, plain.size() - 10);
  std::string bad_sig = plain;
  bad_sig[plain.find(std::string("PK\x01\x02", 4))] = 'Q';
  std::vector<TestEntry> many(70000, TestEntry{"f", ""});
  const Case cases[] = {
      {"three entries", plain, ZIP_OK, 3},
      {"a comment that holds the record's signature", zip_bytes(kThree, {sig_in_comment}), ZIP_OK, 3},
      {"bytes appended after the archive", garbage_after, ZIP_OK, 3},
      {"zip64 end record", zip_bytes(kThree, {"", true}), ZIP_OK, 3},
      {"more entries than the classic record can count", zip_bytes(many, {"", true}), ZIP_OK, 70000},
      {"no entries", zip_bytes({}), ZIP_OK, 0},
      {"empty file", "", ZIP_NOT_ZIP, 0},
      {"text file", std::string(5000, 'a'), ZIP_NOT_ZIP, 0},
      {"end record cut off", cut, ZIP_NOT_ZIP, 0},
      {"second disk of a split archive", zip_bytes(kThree, {"", false, 1}), ZIP_SPANNED, 0},
      {"split zip64 archive", zip_bytes(kThree, {"", true, 2}), ZIP_SPANNED, 0},
      {"count larger than the directory", zip_bytes(kThree, {"", false, 0, 1}), ZIP_BAD_DIRECTORY, 0},
      {"count far larger than the directory", zip_bytes(kThree, {"", true, 0, 1000000000}),
       ZIP_BAD_DIRECTORY, 0},
      {"directory offset past its end", zip_bytes(kThree, {"", false, 0, 0, 7}), ZIP_BAD_DIRECTORY, 0},
      {"damaged entry signature", bad_sig, ZIP_BAD_DIRECTORY, 0},
  };
  for (const Case& c : cases) {
    TempFile f("zip_walk_case.zip", c.bytes);
    Seen seen;
    uint64_t count = 99;
    ZipResult r = zip_walk(f.path.c_str(), collect, &seen, &count);
    EXPECT_EQ(r, c.result) << c.what;
    if (r == ZIP_OK) {
      EXPECT_EQ(seen.names.size(), c.names) << c.what;
      EXPECT_EQ(count, c.names) << c.what;
    }
  }
}

TEST(ZipWalk, GivesNamesInOrderWithMethodAndStoredLength) {
  std::vector<TestEntry> entries = kThree;
  entries.push_back({std::string("a\0b", 3), "", 0, 0});
  TempFile f("zip_walk_names.zip", zip_bytes(entries));
  Seen seen;
  uint64_t count = 0;
  ASSERT_EQ(zip_walk(f.path.c_str(), collect, &seen, &count), ZIP_OK);
  ASSERT_EQ(seen.names.size(), 4u);
  EXPECT_EQ(seen.names[1], "TamrockBuilder/TamrockBuilder.exe");
  EXPECT_EQ(seen.methods[2], 8);
  // A zero byte inside a name must show: the name then differs from its C text.
  EXPECT_EQ(seen.names[3], "a");
  EXPECT_EQ(seen.stored_len[3], 3u);
}

TEST(ZipWalk, StopsWhenTheVisitorSaysSo) {
  TempFile f("zip_walk_stop.zip", zip_bytes(kThree));
  Seen seen;
  seen.stop_after = 2;
  uint64_t count = 0;
  EXPECT_EQ(zip_walk(f.path.c_str(), collect, &seen, &count), ZIP_OK);
  EXPECT_EQ(seen.names.size(), 2u);
}

TEST(ZipWalk, MissingFileCannotBeOpened) {
  Seen seen;
  uint64_t count = 0;
  EXPECT_EQ(zip_walk("no-such-archive.zip", collect, &seen, &count), ZIP_CANNOT_OPEN);
}

}  // namespace
