// The list-level pieces of the tool: the verdict's item, the text written
// and read back, the line map, addresses, folders and UTF-8.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/bounds.h"
#include "list_lines.h"
#include "list_text.h"
#include "list_verdict.h"
#include "part_report.h"
#include "release_url.h"
#include "retry_rule.h"
#include "text_utf.h"

namespace {

const char kSha[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

void set_part(PartEntry* p, const char* url, const char* extract_to = ".",
              const char* from = "-", const char* to = "-") {
  memset(p, 0, sizeof *p);
  COPY_CUT(p->sha256, kSha);
  p->size = 5000000000ull;  // past 32 bits: the size must survive msvcrt's printf and scanf
  COPY_CUT(p->url, url);
  COPY_CUT(p->extract_to, extract_to);
  COPY_CUT(p->rename_from, from);
  COPY_CUT(p->rename_to, to);
}

SetupList* good_list() {
  static SetupList list;
  memset(&list, 0, sizeof list);
  COPY_CUT(list.tag, "v1.4.2");
  COPY_CUT(list.run, "TamrockBuilder/TamrockBuilder.exe");
  set_part(&list.parts[0], "https://h/r/releases/download/v1.4.2/TamrockBuilder-1.4.2.zip");
  set_part(&list.parts[1], "https://h/r/releases/download/v1.4.2/TamrockBuilder-python-3.zip",
           "TamrockBuilder/tools", "py", "python");
  list.part_count = 2;
  return &list;
}

TEST(ListFault, NamesTheItemTheSetupStopsAt) {
  struct {
    const char* what;
    void (*spoil)(SetupList*);
    ListVerdict verdict;
    ListItem item;
    uint32_t part;
  } cases[] = {
      {"good", [](SetupList*) {}, LIST_ACCEPTED, ITEM_NONE, 0},
      {"no tag", [](SetupList* l) { l->tag[0] = 0; }, LIST_UNREADABLE, ITEM_TAG, 0},
      {"no run beside a bad tag",
       [](SetupList* l) { COPY_CUT(l->tag, "a/b"); l->run[0] = 0; }, LIST_UNREADABLE, ITEM_RUN, 0},
      {"no parts beside a bad tag",
       [](SetupList* l) { COPY_CUT(l->tag, "a/b"); l->part_count = 0; }, LIST_UNREADABLE,
       ITEM_PARTS, 0},
      {"tag with a slash", [](SetupList* l) { COPY_CUT(l->tag, "a/b"); }, LIST_REJECTED, ITEM_TAG, 0},
      {"run climbing out", [](SetupList* l) { COPY_CUT(l->run, "../x.exe"); }, LIST_REJECTED,
       ITEM_RUN, 0},
      {"upper-case digest", [](SetupList* l) { l->parts[1].sha256[3] = 'A'; }, LIST_REJECTED,
       ITEM_SHA256, 1},
      {"plain http", [](SetupList* l) { COPY_CUT(l->parts[0].url, "http://h/x.zip"); },
       LIST_REJECTED, ITEM_URL, 0},
      {"extract_to with a drive",
       [](SetupList* l) { COPY_CUT(l->parts[1].extract_to, "C:/x"); }, LIST_REJECTED,
       ITEM_EXTRACT_TO, 1},
      {"rename_from with a slash", [](SetupList* l) { COPY_CUT(l->parts[1].rename_from, "a/b"); },
       LIST_REJECTED, ITEM_RENAME_FROM, 1},
      {"rename_to dot-dot", [](SetupList* l) { COPY_CUT(l->parts[1].rename_to, ".."); },
       LIST_REJECTED, ITEM_RENAME_TO, 1},
      {"first bad part wins",
       [](SetupList* l) {
         COPY_CUT(l->parts[0].rename_to, "..");
         COPY_CUT(l->parts[1].url, "ftp://x");
       },
       LIST_REJECTED, ITEM_RENAME_TO, 0},
  };
  for (const auto& c : cases) {
    SetupList* list = good_list();
    c.spoil(list);
    ListFault f = find_list_fault(list);
    EXPECT_EQ(f.verdict, c.verdict) << c.what;
    EXPECT_EQ(f.item, c.item) << c.what;
    EXPECT_EQ(f.part, c.part) << c.what;
  }
}

TEST(ListFault, CarriesTheSetupsOwnMessages) {
  char message[256];
  verdict_message(LIST_UNREADABLE, message, sizeof message);
  EXPECT_STREQ(message, "The release's setup list could not be read. Try again later.");
  verdict_message(LIST_REJECTED, message, sizeof message);
  EXPECT_STREQ(message,
               "The release's setup list has a name this setup does not accept. Try again later.");
}

TEST(ListFault, TagsUsersCanAskFor) {
  struct {
    std::string tag;
    int ok;
  } cases[] = {{"v1.4.2", 1}, {"1.4.2_rc-1", 1}, {std::string(127, 'v'), 1},
               {"1.4.2+build", 0}, {"v1\"2", 0}};
  for (const auto& c : cases) EXPECT_EQ(tag_can_be_requested(c.tag.c_str()), c.ok) << c.tag;
}

TEST(ListText, WritesWhatTheSetupReadsBack) {
  static char text[LIST_TEXT_CAP];
  SetupList* list = good_list();
  size_t len = format_setup_list(list, text, sizeof text);
  ASSERT_GT(len, 0u);
  std::string expected = std::string("tag v1.4.2\nrun TamrockBuilder/TamrockBuilder.exe\n") +
                         "part " + kSha + " 5000000000 . - - " + list->parts[0].url + "\n" +
                         "part " + kSha + " 5000000000 TamrockBuilder/tools py python " +
                         list->parts[1].url + "\n";
  EXPECT_EQ(std::string(text, len), expected);
  char why[1024];
  EXPECT_TRUE(list_reads_back(text, len, list, why, sizeof why)) << why;
}

TEST(ListText, FullListOfLongestFieldsFitsAndReadsBack) {
  static SetupList list;
  static char text[LIST_TEXT_CAP];
  memset(&list, 0, sizeof list);
  memset(list.tag, 't', sizeof list.tag - 1);
  memset(list.run, 'r', sizeof list.run - 1);
  for (uint32_t i = 0; i < MAX_PARTS; i++) {
    PartEntry* p = &list.parts[i];
    COPY_CUT(p->sha256, kSha);
    p->size = UINT64_MAX;
    memset(p->extract_to, 'e', sizeof p->extract_to - 1);
    memset(p->rename_from, 'f', sizeof p->rename_from - 1);
    memset(p->rename_to, 'o', sizeof p->rename_to - 1);
    memset(p->url, 'u', sizeof p->url - 1);
  }
  list.part_count = MAX_PARTS;
  size_t len = format_setup_list(&list, text, sizeof text);
  ASSERT_GT(len, 0u);
  char why[4096];
  EXPECT_TRUE(list_reads_back(text, len, &list, why, sizeof why)) << why;
  EXPECT_EQ(format_setup_list(&list, text, len), 0u);  // one byte short does not fit
}

TEST(ListText, CatchesValuesTheSetupWouldReadOtherwise) {
  static char text[LIST_TEXT_CAP];
  struct {
    void (*spoil)(SetupList*);
    const char* reason;
  } cases[] = {
      {[](SetupList* l) { COPY_CUT(l->tag, "v1 2"); }, "tag \"v1 2\" reads back as \"v1\""},
      {[](SetupList* l) { COPY_CUT(l->parts[1].extract_to, "a b"); }, "extract_to \"a b\""},
      {[](SetupList* l) { COPY_CUT(l->parts[0].url, ""); }, "2 parts read back as 1"},
  };
  for (const auto& c : cases) {
    SetupList* list = good_list();
    c.spoil(list);
    size_t len = format_setup_list(list, text, sizeof text);
    char why[1024];
    EXPECT_FALSE(list_reads_back(text, len, list, why, sizeof why)) << c.reason;
    EXPECT_NE(strstr(why, c.reason), nullptr) << why;
  }
}

struct Notes {
  std::vector<std::pair<uint32_t, std::string>> seen;
};
void note(void* ctx, uint32_t line, const char* text) {
  ((Notes*)ctx)->seen.push_back({line, text});
}

TEST(ListLines, PlacesItemsAndFlagsMisreadLines) {
  std::string part = std::string("part ") + kSha + " 12 . - - https://h/x.zip";
  std::string part2 = std::string("part ") + kSha + " 13 . - - https://h/y.zip";
  struct {
    const char* what;
    std::string text;
    uint32_t tag_line, run_line, parts, first_part_line;
    uint32_t note_line;       // 0: no note expected
    const char* note_piece;
  } cases[] = {
      {"LF", "tag v1\nrun a.exe\n" + part + "\n", 1, 2, 1, 3, 0, ""},
      {"CR LF, blank lines and a comment", "\r\n# made by hand\r\ntag v1\r\n\r\nrun a.exe\r\n" +
       part + "\r\n", 3, 5, 1, 6, 0, ""},
      {"CR alone", "tag v1\rrun a.exe\r\r" + part, 1, 2, 1, 4, 0, ""},
      {"keyword in capitals", "tag v1\nrun a.exe\n" + part + "\nPart x", 1, 2, 1, 3, 4, "ignores"},
      {"tab after the keyword", "tag v1\nrun a.exe\npart\t" + part.substr(5), 1, 2, 0, 0, 3,
       "ignores"},
      {"short part line", "tag v1\nrun a.exe\npart " + std::string(kSha) + " 12 . - https://h/x.zip\n" +
       part, 1, 2, 1, 4, 3, "six fields"},
      {"second tag line", "tag v1\ntag v2\nrun a.exe\n" + part, 2, 3, 1, 4, 2, "ignores line 1"},
      {"tag without value", "tag \nrun a.exe\n" + part, 0, 2, 1, 3, 1, "no value"},
      {"text after the url", "tag v1\nrun a.exe\n" + part + " extra", 1, 2, 1, 3, 3,
       "after the url"},
      {"digest too long moves into the size", "tag v1\nrun a.exe\npart " + std::string(kSha) +
       "77 12 . - - https://h/x.zip", 1, 2, 1, 3, 3, "reads sha256"},
      {"size that is no plain number", "tag v1\nrun a.exe\n" + std::string("part ") + kSha +
       " 012 . - - https://h/x.zip", 1, 2, 1, 3, 3, "reads size as \"12\""},
      {"byte order mark", "\xEF\xBB\xBFtag v1\nrun a.exe\n" + part, 0, 2, 1, 3, 1, "byte order mark"},
      {"zero byte before more text", std::string("tag v1\nrun a.exe\n") + part + "\n" +
       std::string(1, '\0') + part2, 1, 2, 1, 3, 4, "zero byte"},
  };
  for (const auto& c : cases) {
    ListLines where;
    Notes notes;
    ASSERT_TRUE(map_list_lines(c.text.data(), c.text.size(), &where, note, &notes));
    EXPECT_EQ(where.tag_line, c.tag_line) << c.what;
    EXPECT_EQ(where.run_line, c.run_line) << c.what;
    EXPECT_EQ(where.part_count, c.parts) << c.what;
    if (c.parts) {
      EXPECT_EQ(where.part_line[0], c.first_part_line) << c.what;
    }
    if (!c.note_line) {
      EXPECT_TRUE(notes.seen.empty()) << c.what << ": " << notes.seen[0].second;
      continue;
    }
    ASSERT_EQ(notes.seen.size(), 1u) << c.what;
    EXPECT_EQ(notes.seen[0].first, c.note_line) << c.what;
    EXPECT_NE(notes.seen[0].second.find(c.note_piece), std::string::npos)
        << c.what << ": " << notes.seen[0].second;
  }
}

TEST(ListLines, SeventeenthPartIsFlagged) {
  std::string text = "tag v1\nrun a.exe\n";
  for (int i = 0; i < 17; i++) text += std::string("part ") + kSha + " 1 . - - https://h/x.zip\n";
  ListLines where;
  Notes notes;
  ASSERT_TRUE(map_list_lines(text.data(), text.size(), &where, note, &notes));
  EXPECT_EQ(where.part_count, 16u);
  EXPECT_EQ(where.part_line[15], 18u);
  ASSERT_EQ(notes.seen.size(), 1u);
  EXPECT_EQ(notes.seen[0].first, 19u);
}

TEST(ReleaseUrl, JoinsAndHoldsAgainstTheTag) {
  char url[64];
  ASSERT_TRUE(join_part_url("https://h/d", "a.zip", url, sizeof url));
  EXPECT_STREQ(url, "https://h/d/a.zip");
  ASSERT_TRUE(join_part_url("https://h/d/", "a.zip", url, sizeof url));
  EXPECT_STREQ(url, "https://h/d/a.zip");
  EXPECT_FALSE(join_part_url("https://h/d/", std::string(60, 'a').c_str(), url, sizeof url));

  EXPECT_STREQ(url_file_name("https://h/d/a.zip"), "a.zip");
  EXPECT_STREQ(url_file_name("a.zip"), "a.zip");
  EXPECT_TRUE(asset_names_clash("Core.zip", "core.ZIP"));
  EXPECT_FALSE(asset_names_clash("core.zip", "core.zip2"));

  EXPECT_EQ(url_release_fault("https://github.com/o/r/releases/download/v2/a.zip", "v2"), nullptr);
  EXPECT_EQ(url_release_fault("https://cdn.example/v1/a.zip", "v2"), nullptr);
  EXPECT_NE(url_release_fault("https://github.com/o/r/releases/download/v1/a.zip", "v2"), nullptr);
  EXPECT_NE(url_release_fault("https://github.com/o/r/releases/download/v2.1/a.zip", "v2"), nullptr);
  EXPECT_NE(url_release_fault("https://github.com/o/r/releases/latest/download/a.zip", "v2"),
            nullptr);
}

TEST(PartFolderKind, TellsOwnToolAndNone) {
  struct {
    const char* url;
    const char* extract_to;
    const char* to;
    FolderKind kind;
    const char* folder;
  } cases[] = {
      {"https://h/TamrockBuilder-1.zip", ".", "-", FOLDER_NONE, ""},
      {"https://h/TamrockBuilder-emsdk-3.zip", ".", "-", FOLDER_TOOL, "TamrockBuilder\\tools\\emsdk"},
      {"https://h/TamrockBuilder-emsdk-3.zip", "a/b", "c", FOLDER_OWN, "a\\b\\c"},
      {"https://h/x.zip", "TamrockBuilder/tools", "python", FOLDER_OWN,
       "TamrockBuilder\\tools\\python"},
  };
  for (const auto& c : cases) {
    PartEntry p;
    set_part(&p, c.url, c.extract_to, strcmp(c.to, "-") ? "x" : "-", c.to);
    char folder[300];
    EXPECT_EQ(part_folder_kind(&p, folder, sizeof folder), c.kind) << c.url;
    EXPECT_STREQ(folder, c.folder) << c.url;
  }
}

TEST(TextUtf, RoundTripsAndCutsOnlyWholeCharacters) {
  const char* text = "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xa6";  // two-, three-, four-byte
  wchar_t wide[32];
  char back[32];
  ASSERT_TRUE(wide_from_utf8(text, wide, 32));
  ASSERT_TRUE(utf8_from_wide(wide, back, sizeof back));
  EXPECT_STREQ(back, text);
  char small[6];  // room for "Grü" and one byte of "ß": the half character must not appear
  EXPECT_FALSE(utf8_from_wide(wide, small, sizeof small));
  EXPECT_STREQ(small, "Gr\xc3\xbc");
  char exact[8];  // "Grüß" and the blank, but not the euro sign
  EXPECT_FALSE(utf8_from_wide(wide, exact, sizeof exact));
  EXPECT_STREQ(exact, "Gr\xc3\xbc\xc3\x9f ");
  // Malformed bytes become U+FFFD rather than vanishing.
  ASSERT_TRUE(wide_from_utf8("a\xff" "b\xe2\x82", wide, 32));
  EXPECT_EQ(wide[1], (wchar_t)0xFFFD);
  EXPECT_EQ(wide[2], L'b');
  EXPECT_EQ(wide[3], (wchar_t)0xFFFD);
}

// publish's retry rule: which of GitHub's answers are waited out, and how long.
TEST(RetryRule, WaitsOnlyForPassingTroubles) {
  struct Row {
    AnswerSigns signs;
    unsigned attempt;
    long wait;
  } rows[] = {
      {{0, -1, 0, 0}, 1, 1},              // no answer: backoff
      {{502, -1, 0, 0}, 3, 4},
      {{429, -1, 0, 0}, 2, 2},
      {{403, -1, 0, 0}, 1, -1},           // a refusal, not a limit
      {{403, 7, 0, 0}, 1, 7},             // Retry-After
      {{403, -1, 1, 1000 + 50}, 1, 51},   // the limit's reset, a second after it
      {{403, -1, 1, 1000 + 7200}, 1, 7201},  // beyond RETRY_WAIT_MAX: the caller gives up
      {{401, -1, 0, 0}, 1, -1},
      {{404, -1, 0, 0}, 1, -1},
      {{422, -1, 0, 0}, 1, -1},
      {{503, -1, 0, 0}, RETRY_ATTEMPTS, -1},  // no attempt left
  };
  for (const Row& r : rows)
    EXPECT_EQ(retry_wait(&r.signs, 1000, r.attempt), r.wait) << r.signs.status << " " << r.attempt;
}

}  // namespace
