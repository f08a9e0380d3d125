// The setup list: line structure, field scanning, verdicts, the name rule
// and the requested tag. The list comes from the network, so the hostile
// shapes matter as much as the well-formed ones.
#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/cmdline.h"
#include "setuplist/setup_list.h"

namespace {

const char kSha[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char kSha2[] = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

// Parses a copy of text, zero bytes included; the parser sees the bytes up
// to the one terminator that a fetched body always carries.
SetupList parse(const std::string& text) {
  std::vector<char> body(text.begin(), text.end());
  body.push_back(0);
  SetupList list;
  memset(&list, 0x5a, sizeof list);  // start dirty: the parser must reset
  parse_setup_list(body.data(), &list);
  return list;
}

std::string part_line(const std::string& sha, const std::string& url = "https://h/a.zip",
                      const std::string& extract_to = ".", const std::string& from = "-",
                      const std::string& to = "-") {
  return "part " + sha + " 1234 " + extract_to + " " + from + " " + to + " " + url;
}

std::string good_list(const std::string& nl = "\n") {
  return "tag v1.2.0" + nl + "run TamrockBuilder/TamrockBuilder.exe" + nl + part_line(kSha) +
         nl + part_line(kSha2, "https://h/TamrockBuilder-python-3.zip", "TamrockBuilder/tools",
                        "python", "python") + nl;
}

ListVerdict verdict(const std::string& text) {
  SetupList list = parse(text);
  return check_setup_list(&list);
}

// --- line structure --------------------------------------------------------

TEST(SetupListLines, WellFormedList) {
  SetupList l = parse(good_list());
  EXPECT_STREQ(l.tag, "v1.2.0");
  EXPECT_STREQ(l.run, "TamrockBuilder/TamrockBuilder.exe");
  ASSERT_EQ(l.part_count, 2u);
  EXPECT_STREQ(l.parts[0].sha256, kSha);
  EXPECT_EQ(l.parts[0].size, 1234u);
  EXPECT_STREQ(l.parts[0].extract_to, ".");
  EXPECT_STREQ(l.parts[0].rename_from, "-");
  EXPECT_STREQ(l.parts[0].rename_to, "-");
  EXPECT_STREQ(l.parts[0].url, "https://h/a.zip");
  EXPECT_STREQ(l.parts[1].extract_to, "TamrockBuilder/tools");
  EXPECT_STREQ(l.parts[1].rename_from, "python");
  EXPECT_EQ(check_setup_list(&l), LIST_ACCEPTED);
}

TEST(SetupListLines, LineEndingsAndBlankLinesParseAlike) {
  SetupList lf = parse(good_list("\n"));
  for (const char* nl : {"\r\n", "\r", "\n\n\r\n", "\r\r\r"}) {
    SetupList other = parse("\r\n\n" + good_list(nl) + "\n\r\n");
    EXPECT_STREQ(other.tag, lf.tag) << "separator " << testing::PrintToString(nl);
    EXPECT_STREQ(other.run, lf.run);
    ASSERT_EQ(other.part_count, lf.part_count);
    for (uint32_t i = 0; i < lf.part_count; i++) {
      EXPECT_STREQ(other.parts[i].url, lf.parts[i].url);
      EXPECT_STREQ(other.parts[i].sha256, lf.parts[i].sha256);
    }
  }
}

TEST(SetupListLines, NoFinalLineBreak) {
  SetupList l = parse("tag v1\nrun a.exe\n" + part_line(kSha));
  EXPECT_EQ(l.part_count, 1u);
  EXPECT_STREQ(l.parts[0].url, "https://h/a.zip");
}

TEST(SetupListLines, ZeroByteEndsTheList) {
  std::string text = "tag v1\nrun a.exe\n";
  text += '\0';
  text += part_line(kSha) + "\n";
  SetupList l = parse(text);
  EXPECT_STREQ(l.tag, "v1");
  EXPECT_EQ(l.part_count, 0u);
  EXPECT_EQ(check_setup_list(&l), LIST_UNREADABLE);

  // Mid-line: the url is cut at the zero byte.
  std::string cut = "tag v1\nrun a.exe\n" + part_line(kSha, "https://h/ab");
  cut.insert(cut.size() - 1, 1, '\0');
  EXPECT_STREQ(parse(cut).parts[0].url, "https://h/a");
}

TEST(SetupListLines, OnlyExactKeywordsAtLineStartCount) {
  const char* ignored[] = {"Tag v9", "TAG v9", " tag v9", "\ttag v9", "tag\tv9", "tagv9",
                           "tags v9", "# tag v9", "tag"};
  for (const char* line : ignored) {
    SetupList l = parse(std::string("tag v1\n") + line + "\n");
    EXPECT_STREQ(l.tag, "v1") << line;
  }
  SetupList l = parse("Run x.exe\n run y.exe\nPart " + std::string(kSha) +
                      " 1 . - - https://h/a\n part " + kSha + " 1 . - - https://h/a\n");
  EXPECT_STREQ(l.run, "");
  EXPECT_EQ(l.part_count, 0u);
}

TEST(SetupListLines, EmptyTagLineKeepsTheTagEmpty) {
  SetupList l = parse("tag \nrun a.exe\n" + part_line(kSha) + "\n");
  EXPECT_STREQ(l.tag, "");
  EXPECT_EQ(check_setup_list(&l), LIST_UNREADABLE);
  // Blanks only: no value either, and an earlier value stays.
  EXPECT_STREQ(parse("tag v1\ntag  \t \n").tag, "v1");
}

TEST(SetupListLines, LaterTagAndRunReplaceEarlierOnes) {
  SetupList l = parse("tag v1\ntag v2\nrun a.exe\nrun b.exe\n");
  EXPECT_STREQ(l.tag, "v2");
  EXPECT_STREQ(l.run, "b.exe");
}

TEST(SetupListLines, ValueIsTheFirstTokenAfterBlanks) {
  SetupList l = parse("tag    v1 trailing words\nrun \t a.exe --flag\n");
  EXPECT_STREQ(l.tag, "v1");
  EXPECT_STREQ(l.run, "a.exe");
}

TEST(SetupListLines, SixteenPartsAtMost) {
  std::string text = "tag v1\nrun a.exe\n";
  for (int i = 0; i < 17; i++) text += part_line(kSha, "https://h/" + std::to_string(i)) + "\n";
  SetupList l = parse(text);
  ASSERT_EQ(l.part_count, 16u);
  EXPECT_STREQ(l.parts[15].url, "https://h/15");
  EXPECT_EQ(check_setup_list(&l), LIST_ACCEPTED);
}

TEST(SetupListLines, IncompletePartLinesAreDroppedInPlace) {
  std::string text = "tag v1\nrun a.exe\n" + part_line(kSha, "https://h/1") + "\n" +
                     "part " + kSha + " 5 . - -\n" +          // five fields
                     "part " + kSha + " big . - - https://h/x\n" +  // size not a number
                     "part \n" + part_line(kSha, "https://h/2") + "\n";
  SetupList l = parse(text);
  ASSERT_EQ(l.part_count, 2u);
  EXPECT_STREQ(l.parts[0].url, "https://h/1");
  EXPECT_STREQ(l.parts[1].url, "https://h/2");
  EXPECT_STREQ(l.parts[1].extract_to, ".");
}

TEST(SetupListLines, IncompleteLinesDoNotUseUpTheSixteenSlots) {
  std::string text = "tag v1\nrun a.exe\n";
  for (int i = 0; i < 40; i++) text += "part " + std::string(kSha) + " 1 . -\n";
  for (int i = 0; i < 16; i++) text += part_line(kSha, "https://h/" + std::to_string(i)) + "\n";
  SetupList l = parse(text);
  ASSERT_EQ(l.part_count, 16u);
  EXPECT_STREQ(l.parts[0].url, "https://h/0");
}

TEST(SetupListLines, FiveFieldPartAloneIsUnreadableNotRejected) {
  EXPECT_EQ(verdict("tag v1\nrun a.exe\npart " + std::string(kSha) + " 5 . - -\n"),
            LIST_UNREADABLE);
}

// --- field widths: the standard scanning rules -----------------------------

TEST(SetupListFields, LongTagAndRunAreCutAtTheirWidths) {
  std::string tag(200, 't'), run(400, 'r');
  SetupList l = parse("tag " + tag + "\nrun " + run + "\n");
  EXPECT_EQ(strlen(l.tag), 127u);
  EXPECT_EQ(strlen(l.run), 259u);
  EXPECT_EQ(std::string(l.tag), tag.substr(0, 127));
}

TEST(SetupListFields, LongDigestRunsIntoTheSizeField) {
  // 70 characters: 64 for the digest, the remaining 6 are read as the size.
  SetupList l = parse("part " + std::string(kSha) + "123456 . - - https://h/a.zip\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_STREQ(l.parts[0].sha256, kSha);
  EXPECT_EQ(l.parts[0].size, 123456u);
  EXPECT_STREQ(l.parts[0].url, "https://h/a.zip");

  // The shift moves every later field one to the left.
  l = parse("tag v1\nrun a.exe\npart " + std::string(kSha) + "99 7 . - - https://h/a\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(l.parts[0].size, 99u);
  EXPECT_STREQ(l.parts[0].extract_to, "7");
  EXPECT_STREQ(l.parts[0].url, "-");
  EXPECT_EQ(check_setup_list(&l), LIST_REJECTED);

  // Six hex letters cannot be a size: the line does not count.
  EXPECT_EQ(parse("part " + std::string(kSha) + "abcdef . - - https://h/a\n").part_count, 0u);
}

TEST(SetupListFields, LongPathRunsIntoTheNextField) {
  std::string dir(300, 'd');
  SetupList l = parse("part " + std::string(kSha) + " 1 " + dir + " - - https://h/a\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(std::string(l.parts[0].extract_to), dir.substr(0, 259));
  EXPECT_EQ(std::string(l.parts[0].rename_from), dir.substr(259));
  EXPECT_STREQ(l.parts[0].rename_to, "-");
  EXPECT_STREQ(l.parts[0].url, "-");
}

TEST(SetupListFields, LongUrlIsCutAndTheRestOfTheLineIgnored) {
  std::string url = "https://h/" + std::string(3000, 'u');
  SetupList l = parse("part " + std::string(kSha) + " 1 . - - " + url + " more fields\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(std::string(l.parts[0].url), url.substr(0, 1023));
}

TEST(SetupListFields, SizeIsAnUnsignedDecimal) {
  SetupList l = parse("part " + std::string(kSha) + " 18446744073709551615 . - - https://h/a\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(l.parts[0].size, 18446744073709551615ull);
  // Past 32 bits: a runtime that reads the size as a long would lose these.
  l = parse("part " + std::string(kSha) + " 4294967296 . - - https://h/a\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(l.parts[0].size, 4294967296ull);
  l = parse("part " + std::string(kSha) + "  \t 0042\t.\t-\t-\thttps://h/a\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(l.parts[0].size, 42u);
}

TEST(SetupListFields, UrlKeepsEveryByteButWhiteSpace) {
  std::string url = "https://h/a?b=c&d=%20#\x7f\xc3\xa9";
  SetupList l = parse("part " + std::string(kSha) + " 1 . - - " + url + "\x0b" + "tail\n");
  ASSERT_EQ(l.part_count, 1u);
  EXPECT_EQ(std::string(l.parts[0].url), url);
}

TEST(SetupListFields, HugeGarbageNeverOverrunsAField) {
  // Long runs of every kind of byte, with and without keywords: the fields
  // stay terminated within their buffers (the sanitizers watch the rest).
  std::string text;
  for (int i = 0; i < 64; i++) {
    text += (i % 3 == 0 ? "part " : i % 3 == 1 ? "tag " : "run ");
    for (int k = 0; k < 5000; k++) text += (char)(1 + (i * 7919 + k * 104729) % 255);
    text += "\n";
  }
  SetupList l = parse(text);
  EXPECT_LE(strlen(l.tag), 127u);
  EXPECT_LE(strlen(l.run), 259u);
  EXPECT_LE(l.part_count, 16u);
  for (uint32_t i = 0; i < l.part_count; i++) {
    EXPECT_LE(strlen(l.parts[i].sha256), 64u);
    EXPECT_LE(strlen(l.parts[i].url), 1023u);
  }
  EXPECT_NE(check_setup_list(&l), LIST_ACCEPTED);
}

// --- verdicts ----------------------------------------------------------------

TEST(SetupListVerdict, PresenceTestsComeFirst) {
  std::string parts = part_line(kSha) + "\n";
  EXPECT_EQ(verdict("run a.exe\n" + parts), LIST_UNREADABLE);
  EXPECT_EQ(verdict("tag v1\n" + parts), LIST_UNREADABLE);
  EXPECT_EQ(verdict("tag v1\nrun a.exe\n"), LIST_UNREADABLE);
  // An invalid tag with no part line is unreadable, not rejected.
  EXPECT_EQ(verdict("tag ../x\nrun a.exe\n"), LIST_UNREADABLE);
  EXPECT_EQ(verdict(""), LIST_UNREADABLE);
}

TEST(SetupListVerdict, TagAndRunNames) {
  std::string parts = part_line(kSha) + "\n";
  EXPECT_EQ(verdict("tag v1/x\nrun a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag ..\nrun a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag v1:x\nrun a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag v1+build.7_rc-1\nrun a.exe\n" + parts), LIST_ACCEPTED);
  EXPECT_EQ(verdict("tag v1\nrun ../a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag v1\nrun \\a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag v1\nrun C:\\a.exe\n" + parts), LIST_REJECTED);
  EXPECT_EQ(verdict("tag v1\nrun B/bin\\a.exe\n" + parts), LIST_ACCEPTED);
}

struct PartCase {
  const char* what;
  std::string sha, url, extract_to, from, to;
  ListVerdict expected;
};

TEST(SetupListVerdict, EachPartTest) {
  std::string upper = kSha;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  const PartCase cases[] = {
      {"plain part", kSha, "https://h/a", ".", "-", "-", LIST_ACCEPTED},
      {"upper-case hex", upper, "https://h/a", ".", "-", "-", LIST_REJECTED},
      {"63 digits", std::string(kSha).substr(0, 63), "https://h/a", ".", "-", "-", LIST_REJECTED},
      {"non-hex digit", std::string(63, 'a') + "g", "https://h/a", ".", "-", "-", LIST_REJECTED},
      {"scheme in capitals", kSha, "HTTPS://h/a", ".", "-", "-", LIST_ACCEPTED},
      {"scheme mixed case", kSha, "hTtPs://h/a", ".", "-", "-", LIST_ACCEPTED},
      {"bare scheme", kSha, "https://", ".", "-", "-", LIST_ACCEPTED},
      {"unencrypted", kSha, "http://h/a", ".", "-", "-", LIST_REJECTED},
      {"short scheme", kSha, "https:/", ".", "-", "-", LIST_REJECTED},
      {"other scheme", kSha, "file:///c:/a", ".", "-", "-", LIST_REJECTED},
      {"nested extract", kSha, "https://h/a", "A/b\\c", "x", "y", LIST_ACCEPTED},
      {"extract ends in separator", kSha, "https://h/a", "A/b/", "-", "-", LIST_ACCEPTED},
      {"extract rooted", kSha, "https://h/a", "/A", "-", "-", LIST_REJECTED},
      {"extract backslash rooted", kSha, "https://h/a", "\\A", "-", "-", LIST_REJECTED},
      {"extract climbs", kSha, "https://h/a", "A/../..", "-", "-", LIST_REJECTED},
      {"extract dot segment", kSha, "https://h/a", "./A", "-", "-", LIST_REJECTED},
      {"extract doubled separator", kSha, "https://h/a", "A//B", "-", "-", LIST_REJECTED},
      {"extract drive", kSha, "https://h/a", "C:", "-", "-", LIST_REJECTED},
      {"extract is a hyphen", kSha, "https://h/a", "-", "-", "-", LIST_ACCEPTED},
      {"extract dots", kSha, "https://h/a", "..", "-", "-", LIST_REJECTED},
      {"rename_from with slash", kSha, "https://h/a", ".", "a/b", "-", LIST_REJECTED},
      {"rename_to with slash", kSha, "https://h/a", ".", "-", "a\\b", LIST_REJECTED},
      {"rename_to climbs", kSha, "https://h/a", ".", "x", "..", LIST_REJECTED},
      {"rename_from dot", kSha, "https://h/a", ".", ".", "-", LIST_REJECTED},
      {"only rename_to", kSha, "https://h/a", ".", "-", "Tools", LIST_ACCEPTED},
      {"only rename_from", kSha, "https://h/a", "B", "tool-1.0", "-", LIST_ACCEPTED},
      {"names starting with sentinels", kSha, "https://h/a", ".git", "-x", "--", LIST_ACCEPTED},
  };
  for (const PartCase& c : cases) {
    std::string text = "tag v1\nrun a.exe\n" + part_line(kSha) + "\n" +
                       part_line(c.sha, c.url, c.extract_to, c.from, c.to) + "\n";
    EXPECT_EQ(verdict(text), c.expected) << c.what;
  }
}

TEST(SetupListVerdict, SizeIsNotChecked) {
  SetupList l = parse("tag v1\nrun a.exe\npart " + std::string(kSha) + " 0 . - - https://h/a\n");
  EXPECT_EQ(check_setup_list(&l), LIST_ACCEPTED);
}

// --- the name rule -----------------------------------------------------------

struct NameCase {
  const char* text;
  int as_name;  // verdict with slashes not allowed
  int as_path;  // verdict with slashes allowed
};

TEST(ListNameOk, Table) {
  const NameCase cases[] = {
      {"", 0, 0},
      {"a", 1, 1},
      {"Builder-1.2_rc+3", 1, 1},
      {"-", 1, 1},
      {"...", 1, 1},
      {".hidden", 1, 1},
      {"trailing.", 1, 1},
      {".", 0, 0},
      {"..", 0, 0},
      {"a/b", 0, 1},
      {"a\\b", 0, 1},
      {"a/b\\c", 0, 1},
      {"a/", 0, 1},
      {"a\\", 0, 1},
      {"a//", 0, 0},
      {"a/\\", 0, 0},
      {"a//b", 0, 0},
      {"/a", 0, 0},
      {"\\a", 0, 0},
      {"/", 0, 0},
      {"\\\\server\\share", 0, 0},
      {"a/./b", 0, 0},
      {"a/../b", 0, 0},
      {"a/..", 0, 0},
      {"a/.", 0, 0},
      {"./a", 0, 0},
      {"../a", 0, 0},
      {"a/../", 0, 0},
      {"a/.../b", 0, 1},
      {"C:", 0, 0},
      {"C:\\a", 0, 0},
      {"C:a", 0, 0},
      {"a:stream", 0, 0},
      {"a b", 0, 0},
      {"a\tb", 0, 0},
      {"a*", 0, 0},
      {"a?", 0, 0},
      {"a\"", 0, 0},
      {"a<b>", 0, 0},
      {"a|b", 0, 0},
      {"a%b", 0, 0},
      {"\x7f", 0, 0},
      {"a\x01", 0, 0},
      {"caf\xc3\xa9", 0, 0},
      {"a\x80", 0, 0},
      {"\xff", 0, 0},
      {"..\xc0\xaf..", 0, 0},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(list_name_ok(c.text, 0) != 0, c.as_name != 0)
        << testing::PrintToString(c.text) << " as a name";
    EXPECT_EQ(list_name_ok(c.text, 1) != 0, c.as_path != 0)
        << testing::PrintToString(c.text) << " as a path";
  }
}

TEST(ListNameOk, EveryByteValue) {
  for (int b = 1; b < 256; b++) {
    char text[4] = {'x', (char)b, 'y', 0};
    bool plain = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                 b == '.' || b == '_' || b == '+' || b == '-';
    bool slash = b == '/' || b == '\\';
    EXPECT_EQ(list_name_ok(text, 0) != 0, plain) << "byte " << b;
    EXPECT_EQ(list_name_ok(text, 1) != 0, plain || slash) << "byte " << b;
  }
}

TEST(ListNameOk, NoAcceptedPathLeavesItsRoot) {
  // Every path of up to six symbols from a small alphabet: whatever is
  // accepted must keep a positive depth after each segment.
  const char alphabet[] = {'a', '.', '/', '\\'};
  for (int len = 1; len <= 6; len++) {
    int total = 1;
    for (int i = 0; i < len; i++) total *= 4;
    for (int n = 0; n < total; n++) {
      char text[8];
      int v = n;
      for (int i = 0; i < len; i++, v /= 4) text[i] = alphabet[v % 4];
      text[len] = 0;
      if (!list_name_ok(text, 1)) continue;
      ASSERT_NE(text[0], '/') << text;
      ASSERT_NE(text[0], '\\') << text;
      // Split and check that no segment is empty, "." or "..".
      std::string seg;
      for (int i = 0; i <= len; i++) {
        char c = text[i];
        if (c == '/' || c == '\\' || c == 0) {
          if (c == 0 && seg.empty()) break;  // the one trailing separator
          ASSERT_FALSE(seg.empty() || seg == "." || seg == "..") << text;
          seg.clear();
        } else {
          seg += c;
        }
      }
    }
  }
}

// --- the requested tag ---------------------------------------------------------

class RequestedTag : public testing::Test {
 protected:
  void SetUp() override { list_ = parse(good_list()); }  // tag v1.2.0
  void TearDown() override {
    set_override(nullptr);
    set_cmdline(nullptr);
  }
  static void set_override(const char* value) {
#ifdef _WIN32
    _putenv_s("TAMROCK_SETUP_LIST", value ? value : "");
#else
    if (value)
      setenv("TAMROCK_SETUP_LIST", value, 1);
    else
      unsetenv("TAMROCK_SETUP_LIST");
#endif
  }
  int check(const wchar_t* cmdline) {
    set_cmdline(cmdline);
    memset(requested_, 0x5a, sizeof requested_);
    return check_requested_tag(&list_, requested_);
  }
  SetupList list_;
  char requested_[128];
};

TEST_F(RequestedTag, NoOptionNoObjection) {
  EXPECT_EQ(check(L""), 0);
  EXPECT_EQ(check(L"--repair some args"), 0);
  EXPECT_EQ(check(L"--tag"), 0);
  EXPECT_EQ(check(L"--tag=v9"), 0);
}

TEST_F(RequestedTag, SameTagPasses) {
  EXPECT_EQ(check(L"--tag v1.2.0"), 0);
  EXPECT_EQ(check(L"--tag \"v1.2.0\" --other"), 0);
  EXPECT_EQ(check(L"x --tag   v1.2.0"), 0);
}

TEST_F(RequestedTag, OtherTagIsReturned) {
  EXPECT_NE(check(L"--tag v1.3.0"), 0);
  EXPECT_STREQ(requested_, "v1.3.0");
  EXPECT_NE(check(L"--tag V1.2.0"), 0);  // case-sensitive
  EXPECT_STREQ(requested_, "V1.2.0");
  EXPECT_NE(check(L"--tag v1.2"), 0);  // a prefix is not the tag
}

TEST_F(RequestedTag, RejectedValuesRaiseNoObjection) {
  EXPECT_EQ(check(L"--tag v1.3.0+1"), 0);
  EXPECT_EQ(check(L"--tag a/b"), 0);
  EXPECT_EQ(check(L"--tag v\x00e9"), 0);
  EXPECT_EQ(check(L"--tag \"\""), 0);
}

TEST_F(RequestedTag, ComparedWithTheOverrideSetToo) {
  set_override("https://example.invalid/list.txt");
  EXPECT_NE(check(L"--tag v9"), 0);
  EXPECT_STREQ(requested_, "v9");
  EXPECT_EQ(check(L"--tag v1.2.0"), 0);
}

}  // namespace
