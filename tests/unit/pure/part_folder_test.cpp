// Which folder a part occupies, and the text of the parts record. An update
// moves these folders over unchanged, so a wrong answer here moves the
// wrong files or keeps a stale tool.
#include <gtest/gtest.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "base/bounds.h"
#include "setuplist/part_folder.h"

namespace {

const char kSha[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

PartEntry entry(const char* extract_to, const char* rename_to, const char* url,
                const char* sha = kSha) {
  PartEntry p;
  memset(&p, 0, sizeof p);
  COPY_CUT(p.sha256, sha);
  COPY_CUT(p.extract_to, extract_to);
  COPY_CUT(p.rename_from, "-");
  COPY_CUT(p.rename_to, rename_to);
  COPY_CUT(p.url, url);
  return p;
}

// The folder as a wide string, or "<none>" when the part has none; checks
// that a part without a folder leaves the buffer as it was.
std::wstring folder_of(const PartEntry& p) {
  wchar_t out[260];
  wmemset(out, L'#', 260);
  if (!part_folder(&p, out)) {
    for (wchar_t c : out) EXPECT_EQ(c, L'#') << "buffer touched";
    return L"<none>";
  }
  EXPECT_LT(wcslen(out), 260u);
  return out;
}

TEST(PartFolder, OwnFolderUsesBackslashesOnly) {
  EXPECT_EQ(folder_of(entry("TamrockBuilder/tools", "godot", "https://h/godot.zip")),
            L"TamrockBuilder\\tools\\godot");
  EXPECT_EQ(folder_of(entry("A\\b/c", "D", "https://h/x.zip")), L"A\\b\\c\\D");
  EXPECT_EQ(folder_of(entry("lib", "x", "https://h/x.zip")), L"lib\\x");
}

TEST(PartFolder, OwnFolderWinsOverATool) {
  EXPECT_EQ(folder_of(entry("Other", "py", "https://h/TamrockBuilder-python-3.12.zip")),
            L"Other\\py");
}

TEST(PartFolder, WithoutOwnFolderTheToolDecides) {
  // extract_to "." with a real rename_to, or rename_to "-" with any place.
  EXPECT_EQ(folder_of(entry(".", "python", "https://h/python-3.zip")), L"<none>");
  EXPECT_EQ(folder_of(entry("TamrockBuilder", "-", "https://h/builder.zip")), L"<none>");
  EXPECT_EQ(folder_of(entry(".", "-", "https://h/builder.zip")), L"<none>");
  EXPECT_EQ(folder_of(entry(".", "py", "https://h/TamrockBuilder-emsdk-3.1.zip")),
            L"TamrockBuilder\\tools\\emsdk");
  EXPECT_EQ(folder_of(entry("Anywhere/else", "-", "https://h/TamrockBuilder-emsdk-3.1.zip")),
            L"TamrockBuilder\\tools\\emsdk");
}

TEST(PartFolder, EveryToolPrefix) {
  const struct {
    const char* file;
    const wchar_t* folder;
  } cases[] = {
      {"TamrockBuilder-python-3.12.zip", L"TamrockBuilder\\tools\\python"},
      {"TamrockBuilder-emsdk-3.1.zip", L"TamrockBuilder\\tools\\emsdk"},
      {"TamrockBuilder-cpm-0.40.zip", L"TamrockBuilder\\tools\\cpm"},
      {"TamrockBuilder-third_party-7.zip", L"TamrockBuilder\\tools\\third_party"},
      {"TamrockBuilder-wgpu-native-22.zip", L"TamrockBuilder\\tools\\wgpu-native"},
      {"TamrockBuilder-python-", L"TamrockBuilder\\tools\\python"},
  };
  for (const auto& c : cases) {
    std::string url = std::string("https://h/r/releases/download/v1/") + c.file;
    EXPECT_EQ(folder_of(entry(".", "-", url.c_str())), c.folder) << c.file;
  }
}

TEST(PartFolder, PrefixMustMatchExactly) {
  const char* misses[] = {
      "tamrockbuilder-python-3.zip",  // other case
      "TamrockBuilder-Python-3.zip",
      "TamrockBuilder-python.3.zip",  // tool name followed by a dot
      "TamrockBuilder-python",        // no hyphen after the name
      "TamrockBuilder-wgpu-3.zip",    // a tool name's start only
      "TamrockBuilder-emsdk_3.zip",
      "xTamrockBuilder-cpm-1.zip",
      "TamrockBuilder--cpm-1.zip",
      "",
  };
  for (const char* f : misses) {
    std::string url = std::string("https://h/") + f;
    EXPECT_EQ(folder_of(entry(".", "-", url.c_str())), L"<none>") << f;
  }
}

TEST(PartFolder, FileNameIsAfterTheLastSlash) {
  EXPECT_EQ(folder_of(entry(".", "-", "https://h/TamrockBuilder-cpm-1/other.zip")), L"<none>");
  EXPECT_EQ(folder_of(entry(".", "-", "TamrockBuilder-cpm-1.zip")),
            L"TamrockBuilder\\tools\\cpm");
  EXPECT_EQ(folder_of(entry(".", "-", "https://h/a/")), L"<none>");
}

TEST(PartFolder, OwnFolderThatDoesNotFitIsNoFolder) {
  // Cut, these would name extract_to itself, its parent or a stranger.
  const struct {
    size_t dir;
    const char* rename;
  } too_long[] = {{259, "name"}, {250, "abcdefghijklmnop"}, {256, "..x"}, {257, ".x"}, {258, "y"}};
  for (const auto& c : too_long) {
    std::string dir(c.dir, 'd');
    EXPECT_EQ(folder_of(entry(dir.c_str(), c.rename, "https://h/a.zip")), L"<none>") << c.dir;
    // Not even a tool folder: a part with its own folder is never a tool.
    EXPECT_EQ(folder_of(entry(dir.c_str(), c.rename, "https://h/TamrockBuilder-cpm-1.zip")),
              L"<none>");
  }
  std::string fits(250, 'e');
  EXPECT_EQ(folder_of(entry(fits.c_str(), "abcdefgh", "https://h/a.zip")),
            std::wstring(250, L'e') + L"\\abcdefgh");
}

// --- parts record ---------------------------------------------------------------

std::string record(const PartEntry* parts, uint32_t count) {
  char out[16 * 65 + 1];
  memset(out, 'Z', sizeof out);
  size_t n = parts_record_text(parts, count, out);
  EXPECT_EQ(strlen(out), n);
  return std::string(out, n);
}

TEST(PartsRecord, OnlyPartsWithAFolderInListOrder) {
  const char sha1[] = "1111111111111111111111111111111111111111111111111111111111111111";
  const char sha2[] = "2222222222222222222222222222222222222222222222222222222222222222";
  const char sha3[] = "3333333333333333333333333333333333333333333333333333333333333333";
  PartEntry parts[3] = {entry(".", "-", "https://h/builder.zip", sha1),
                        entry("B/tools", "godot", "https://h/godot.zip", sha2),
                        entry(".", "-", "https://h/data.zip", sha3)};
  EXPECT_EQ(record(parts, 3), std::string(sha2) + "\n");

  parts[2] = entry(".", "-", "https://h/TamrockBuilder-python-3.zip", sha3);
  EXPECT_EQ(record(parts, 3), std::string(sha2) + "\n" + sha3 + "\n");
  EXPECT_EQ(record(parts, 2), std::string(sha2) + "\n");  // count bounds the list
}

TEST(PartsRecord, NoFolderGivesAnEmptyText) {
  PartEntry parts[2] = {entry(".", "-", "https://h/a.zip"), entry(".", "x", "https://h/b.zip")};
  EXPECT_EQ(record(parts, 2), "");
  EXPECT_EQ(record(parts, 0), "");
}

TEST(PartsRecord, SixteenFoldersFillTheBuffer) {
  PartEntry parts[MAX_PARTS];
  for (auto& p : parts) p = entry("A", "b", "https://h/a.zip");
  std::string text = record(parts, MAX_PARTS);
  EXPECT_EQ(text.size(), 1040u);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.substr(0, 65), std::string(kSha) + "\n");
  // A count past the slots is not followed (the list never holds more).
  EXPECT_EQ(record(parts, 1000), text);
}

}  // namespace
