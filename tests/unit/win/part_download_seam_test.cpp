// Getting a part's archive on a network that misbehaves: the retry
// schedule, the alternation with the release API's asset link, the
// answers that end the run at once, the checksum, and the cached archive
// that needs no network at all. The network and the pause are fakes.
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "base/bounds.h"
#include "base/text_win.h"
#include "install/fs_win.h"
#include "install/run_win.h"
#include "net/release_host.h"
#include "ui/ui.h"
#include "unit/seams/fakes.h"

// Unpacking would start the system tar; here it only records that the
// archive was handed on. Defined in this test, so only this test links
// without the real unpack_win object.
static std::vector<std::pair<unsigned, std::wstring>> g_unpacked;
void unpack_part(RunState*, unsigned i, const wchar_t* archive) {
  g_unpacked.emplace_back(i, archive);
}

namespace {

// SHA-256 of "abc".
const char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kOtherSha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kUrl1[] = RELEASE_HOST REPOSITORY "/releases/download/v1.2.0/TamrockBuilder.zip";
const char kUrl2[] = RELEASE_HOST REPOSITORY "/releases/download/v1.2.0/TamrockBuilder-data.zip";
const char kApiLink[] = API_BASE "repos/tamrock/brisquel/releases/assets/99";
const int kWaits[7] = {3, 6, 12, 20, 30, 45, 60};

std::string servers_failing(int n, int total) {
  return "Downloading part " + std::to_string(n) + " of " + std::to_string(total) +
         " failed: GitHub's download servers are failing right now (tried 8 times over 3 "
         "minutes). This is on GitHub's side. The parts already downloaded are kept: run "
         "BrisquelBuilder.exe again in a few minutes and it carries on from here.";
}
std::string part_failed(int n, int total) {
  return "Downloading part " + std::to_string(n) + " of " + std::to_string(total) +
         " failed. Check your connection and free space, then try again.";
}
std::string checksum_differs(int n, int total) {
  return "Part " + std::to_string(n) + " of " + std::to_string(total) +
         " did not download correctly (its checksum differs). Try again.";
}
std::string downloading(int n, int total, unsigned long long mb) {
  return "status Downloading part " + std::to_string(n) + " of " + std::to_string(total) + " (" +
         std::to_string(mb) + " MB)...";
}
std::string retry_line(int n, int total, uint32_t shown, int wait) {
  return "status Part " + std::to_string(n) + " of " + std::to_string(total) +
         ": GitHub didn't answer (" + std::to_string(shown) + "). Trying again in " +
         std::to_string(wait) + " s...";
}
std::string get(const char* address, const char* accept = nullptr) {
  return std::string("get ") + address + (accept ? std::string(" ") + accept : std::string());
}
const char kOctet[] = "application/octet-stream";

struct Job {
  RunState* run;
  unsigned index;
};
void acquire(void* p) {
  Job* job = (Job*)p;
  acquire_part(job->run, job->index);
}
void settle_root(void*) { prepare_data_root(); }

PartEntry part(const char* sha, uint64_t size, const char* url) {
  PartEntry p;
  memset(&p, 0, sizeof p);
  COPY_CUT(p.sha256, sha);
  p.size = size;
  COPY_CUT(p.extract_to, ".");
  COPY_CUT(p.rename_from, "-");
  COPY_CUT(p.rename_to, "-");
  COPY_CUT(p.url, url);
  return p;
}

class PartDownload : public testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    g_unpacked.clear();
    root_ = fake::make_temp_dir(L"brisquel_parts");
    SetEnvironmentVariableW(L"TAMROCK_SETUP_BASE", root_.c_str());
    ASSERT_EQ(fake::run_worker(settle_root, nullptr), 0u);
    ASSERT_EQ(std::wstring(g_downloads_dir), root_ + L"\\downloads");

    run_ = new RunState();
    COPY_CUT(run_->list.tag, "v1.2.0");
    run_->list.parts[0] = part(kAbcSha, 3, kUrl1);
    run_->list.parts[1] = part(kOtherSha, 10, kUrl2);
    run_->list.part_count = 2;
    WFMT(run_->versions_dir, L"%ls\\versions", root_.c_str());
    WFMT(run_->staging_dir, L"%ls\\v1.2.0.part", run_->versions_dir);
    make_dirs(run_->staging_dir);
    fake::reset();
  }
  void TearDown() override {
    delete run_;
    SetEnvironmentVariableW(L"TAMROCK_SETUP_BASE", nullptr);
    fake::remove_tree(root_);
  }

  DWORD acquire_part_at(unsigned index) {
    Job job = {run_, index};
    DWORD code = fake::run_worker(acquire, &job);
    EXPECT_EQ(fake::replies_left(), 0u);
    EXPECT_EQ(fake::links_left(), 0u);
    // Whatever happened, the bar is back to its marquee.
    EXPECT_EQ(g_percent.load(), -1);
    return code;
  }

  std::wstring archive(const char* sha) const {
    return std::wstring(g_downloads_dir) + L"\\" + std::wstring(sha, sha + strlen(sha)) + L".zip";
  }
  std::wstring partial(const char* sha) const { return archive(sha) + L".part"; }

  static bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  std::wstring root_;
  RunState* run_ = nullptr;
};

TEST_F(PartDownload, NoAnswerEightTimesWaits176SecondsThenBlamesTheServers) {
  run_->list.parts[0].size = 1048575;  // just under a MiB: shown as 0 MB
  for (int k = 0; k < 8; k++) fake::push_reply(fake::no_answer());
  ASSERT_EQ(acquire_part_at(0), 1u);

  std::vector<std::string> want;
  for (int k = 0; k < 8; k++) {
    if (k > 0) {
      want.push_back(retry_line(1, 2, 0, kWaits[k - 1]));
      want.push_back("pause " + std::to_string(kWaits[k - 1]));
    }
    want.push_back(downloading(1, 2, 0));
    // The lookup found no link: the part's own link is fetched instead.
    if (k % 2 == 1) want.push_back(std::string("link ") + kUrl1);
    want.push_back(get(kUrl1));
  }
  want.push_back("fail " + servers_failing(1, 2));
  EXPECT_EQ(fake::trace(), want);

  int total = 0;
  for (int s : fake::pauses()) total += s;
  EXPECT_EQ(total, 176);
  for (const fake::Get& g : fake::gets()) EXPECT_EQ(g.expected, 1048575u);
  EXPECT_FALSE(exists(partial(kAbcSha)));
  EXPECT_FALSE(exists(archive(kAbcSha)));
  EXPECT_TRUE(g_unpacked.empty());
}

// Per attempt: the lookup's outcome on the alternate attempts, the answer,
// and the status the next retry line must show.
struct Attempt {
  bool asks_lookup;
  const char* link;  // "" = none
  uint32_t lookup_status;
  fake::Reply reply;
  uint32_t shown;
};

TEST_F(PartDownload, AlternateAttemptsGoThroughTheApiLinkAndEveryRetryShowsItsStatus) {
  // Part 2: ten bytes, so a dropped body moves the bar off its marquee.
  const Attempt attempts[8] = {
      {false, "", 0, fake::cut_body("01234"), 200},
      {true, kApiLink, 200, fake::answer(503), 503},
      {false, "", 0, fake::answer(429), 429},
      {true, kApiLink, 200, fake::cut_body("01234567"), 200},
      {false, "", 0, fake::answer(403), 403},
      // No link: the part's own link, and the lookup's answer stands.
      {true, "", 502, fake::no_answer(), 502},
      // Nothing answered this time: the last attempt's 502 is not news.
      {false, "", 0, fake::no_answer(), 0},
      {true, "", fake::kNoLookup, fake::answer(408), 408},
  };
  std::vector<std::string> want;
  for (int k = 0; k < 8; k++) {
    const Attempt& a = attempts[k];
    if (k > 0) {
      want.push_back(retry_line(2, 2, attempts[k - 1].shown, kWaits[k - 1]));
      want.push_back("pause " + std::to_string(kWaits[k - 1]));
    }
    want.push_back(downloading(2, 2, 0));
    if (a.asks_lookup) {
      fake::push_link(a.link, a.lookup_status);
      want.push_back(std::string("link ") + kUrl2);
    }
    fake::push_reply(a.reply);
    want.push_back(a.link[0] ? get(a.link, kOctet) : get(kUrl2));
  }
  want.push_back("fail " + servers_failing(2, 2));

  ASSERT_EQ(acquire_part_at(1), 1u);
  EXPECT_EQ(fake::trace(), want);
  for (const fake::Get& g : fake::gets()) {
    EXPECT_EQ(g.expected, 10u) << g.address;
    // Each attempt starts from the marquee, whatever the last one drew.
    EXPECT_EQ(g.percent_before, -1) << g.address;
  }
  // Giving up keeps what arrived, for the next run to carry on from.
  EXPECT_EQ(fake::read_file(partial(kOtherSha)), "01234567");
}

TEST_F(PartDownload, FinalStatusGivesUpAtOnce) {
  struct Case {
    int attempt;  // 0-based attempt that gets the final answer
    uint32_t status;
  } cases[] = {{0, 404}, {1, 410}, {2, 401}, {7, 404}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    SCOPED_TRACE(c.attempt);
    fake::reset();
    for (int k = 0; k <= c.attempt; k++) {
      bool last = k == c.attempt;
      if (k % 2 == 1) fake::push_link(last ? kApiLink : "", last ? 200 : fake::kNoLookup);
      fake::push_reply(fake::answer(last ? c.status : 503));
    }
    ASSERT_EQ(acquire_part_at(1), 1u);
    EXPECT_EQ(fake::gets().size(), (size_t)c.attempt + 1);
    EXPECT_EQ(fake::pauses().size(), (size_t)c.attempt);
    EXPECT_EQ(fake::narrow(fake::fail_text()), part_failed(2, 2));
    EXPECT_FALSE(exists(partial(kOtherSha)));
    EXPECT_TRUE(g_unpacked.empty());
  }
}

TEST_F(PartDownload, WrongChecksumIsNeverRetried) {
  fake::push_reply(fake::body("abd"));
  ASSERT_EQ(acquire_part_at(0), 1u);
  EXPECT_EQ(fake::trace(),
            (std::vector<std::string>{downloading(1, 2, 0), get(kUrl1),
                                      "fail " + checksum_differs(1, 2)}));
  EXPECT_FALSE(exists(partial(kAbcSha)));
  EXPECT_FALSE(exists(archive(kAbcSha)));
  EXPECT_TRUE(g_unpacked.empty());
}

TEST_F(PartDownload, VerifiedDownloadReplacesAStaleArchiveAndIsUnpacked) {
  fake::write_file(archive(kAbcSha), "stale");
  fake::push_reply(fake::body("abc"));
  ASSERT_EQ(acquire_part_at(0), 0u);
  EXPECT_EQ(fake::trace(), (std::vector<std::string>{downloading(1, 2, 0), get(kUrl1)}));
  EXPECT_EQ(fake::read_file(archive(kAbcSha)), "abc");
  EXPECT_FALSE(exists(partial(kAbcSha)));
  ASSERT_EQ(g_unpacked.size(), 1u);
  EXPECT_EQ(g_unpacked[0].first, 0u);
  EXPECT_EQ(g_unpacked[0].second, archive(kAbcSha));
}

TEST_F(PartDownload, AVerifiedDownloadThatCannotBePutInPlaceIsKeptForTheNextRun) {
  // The stale archive is in use for good (a scanner, another program):
  // after the waits the run ends saying so, not in tar.
  fake::write_file(archive(kAbcSha), "stale");
  HANDLE held = CreateFileW(archive(kAbcSha).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  fake::push_reply(fake::body("abc"));
  ASSERT_EQ(acquire_part_at(0), 1u);
  CloseHandle(held);
  std::string where = fake::narrow(archive(kAbcSha));
  EXPECT_EQ(fake::trace().back(),
            "fail Part 1 of 2 was downloaded and verified, but Windows did not let the setup put "
            "it in place as " + where + " (Windows error 32); an antivirus may be holding it. The "
            "download is kept: run BrisquelBuilder.exe again and it carries on from here without "
            "downloading it again.");
  EXPECT_EQ(fake::pauses_ms().size(), 9u);
  EXPECT_TRUE(g_unpacked.empty());
  EXPECT_EQ(fake::read_file(partial(kAbcSha)), "abc");

  // The next run puts the kept bytes in place without a request.
  fake::reset();
  ASSERT_EQ(acquire_part_at(0), 0u);
  EXPECT_TRUE(fake::gets().empty());
  EXPECT_EQ(fake::read_file(archive(kAbcSha)), "abc");
  EXPECT_FALSE(exists(partial(kAbcSha)));
  ASSERT_EQ(g_unpacked.size(), 1u);
  EXPECT_EQ(g_unpacked[0].second, archive(kAbcSha));

  // A partial file that is not the whole verified archive is downloaded
  // again: one cut short, and one of the right size with other bytes.
  for (const char* left : {"ab", "abd"}) {
    fake::reset();
    g_unpacked.clear();
    DeleteFileW(archive(kAbcSha).c_str());
    fake::write_file(partial(kAbcSha), left);
    fake::push_reply(fake::body("abc"));
    ASSERT_EQ(acquire_part_at(0), 0u) << left;
    EXPECT_EQ(fake::gets().size(), 1u) << left;
    EXPECT_EQ(fake::read_file(archive(kAbcSha)), "abc") << left;
  }
}

TEST_F(PartDownload, SecondAttemptThroughTheApiLinkCanSucceed) {
  fake::push_reply(fake::cut_body("a"));
  fake::push_link(kApiLink, 200);
  fake::push_reply(fake::body("abc"));
  ASSERT_EQ(acquire_part_at(0), 0u);
  EXPECT_EQ(fake::trace(),
            (std::vector<std::string>{downloading(1, 2, 0), get(kUrl1), retry_line(1, 2, 200, 3),
                                      "pause 3", downloading(1, 2, 0),
                                      std::string("link ") + kUrl1, get(kApiLink, kOctet)}));
  // The dropped first body must not survive in front of the second.
  EXPECT_EQ(fake::read_file(archive(kAbcSha)), "abc");
  EXPECT_FALSE(exists(partial(kAbcSha)));
  EXPECT_EQ(g_unpacked.size(), 1u);
}

TEST_F(PartDownload, CachedArchiveWithTheRightDigestNeedsNoNetwork) {
  fake::write_file(archive(kAbcSha), "abc");
  ASSERT_EQ(acquire_part_at(0), 0u);
  EXPECT_TRUE(fake::trace().empty());
  ASSERT_EQ(g_unpacked.size(), 1u);
  EXPECT_EQ(g_unpacked[0].second, archive(kAbcSha));
  EXPECT_EQ(fake::read_file(archive(kAbcSha)), "abc");
}

TEST_F(PartDownload, DownloadingLineShowsWholeMebibytes) {
  const struct {
    uint64_t size;
    unsigned long long mb;
  } cases[] = {
      {1, 0}, {1048575, 0}, {1048576, 1}, {3 * 1048576ull + 5, 3},
      // Past 32 bits of MiB: nothing may be cut to a long on the way.
      {1ull << 52, 1ull << 32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    fake::reset();
    run_->list.parts[0].size = c.size;
    fake::push_reply(fake::answer(404));
    ASSERT_EQ(acquire_part_at(0), 1u);
    ASSERT_FALSE(fake::trace().empty());
    EXPECT_EQ(fake::trace()[0], downloading(1, 2, c.mb));
    ASSERT_EQ(fake::gets().size(), 1u);
    EXPECT_EQ(fake::gets()[0].expected, c.size);
  }
}

TEST_F(PartDownload, UnwritableDownloadsDirectoryEndsBeforeAnyRequest) {
  ASSERT_TRUE(RemoveDirectoryW(g_downloads_dir));
  ASSERT_EQ(acquire_part_at(0), 1u);
  EXPECT_TRUE(fake::gets().empty());
  EXPECT_EQ(fake::fail_text(), L"Could not write to " + std::wstring(g_downloads_dir) + L".");
}

}  // namespace
