// The setup list fetch on a network that misbehaves: the whole retry
// schedule, the fallback through the release API, and which answers end
// the run at once. The network and the pause are fakes, so the three
// minutes of waiting take no time.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "base/cmdline.h"
#include "install/run_win.h"
#include "net/http_win.h"
#include "net/release_host.h"
#include "net/setup_address.h"
#include "unit/seams/fakes.h"

namespace {

const char kLooking[] = "Looking for the latest Brisquel Builder...";
const char kCannotReach[] =
    "Could not reach GitHub to get the Brisquel Builder. Check your internet connection and try "
    "again.";
const char kServersFailing[] =
    "GitHub's download servers are failing right now (an error 500 or above, tried 8 times over 3 "
    "minutes). This is on GitHub's side: try again in a few minutes, or later today.";
const char kNoSetupFiles[] =
    "The latest Brisquel release has no setup files yet. Download TamrockBuilder.zip from the "
    "releases page for now: " RELEASE_HOST REPOSITORY "/releases/latest";
const int kWaits[7] = {3, 6, 12, 20, 30, 45, 60};
const char kApiLink[] = API_BASE "repos/tamrock/brisquel/releases/assets/4711";
const char kList[] = "tag v1.2.0\nrun TamrockBuilder/tamrock.exe\n";

std::string retry_line(uint32_t shown, int wait) {
  return "status GitHub didn't answer (" + std::to_string(shown) + "). Trying again in " +
         std::to_string(wait) + " s...";
}

MemBuffer g_body;

void fetch(void*) { fetch_setup_list(&g_body); }

class ListFetch : public testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    set_cmdline(L"");
    SetEnvironmentVariableW(L"TAMROCK_SETUP_LIST", nullptr);
    address_ = manifest_url();
    mem_free(&g_body);
  }
  void TearDown() override { mem_free(&g_body); }

  // Runs the fetch and checks that the script was used up, no more, no less.
  DWORD run() {
    DWORD code = fake::run_worker(fetch, nullptr);
    EXPECT_EQ(fake::replies_left(), 0u);
    EXPECT_EQ(fake::links_left(), 0u);
    return code;
  }

  std::string direct() const { return "get " + address_; }
  std::string lookup() const { return "link " + address_; }
  static std::string fallback() { return std::string("get ") + kApiLink + " application/octet-stream"; }
  static std::string body() { return std::string(g_body.data ? g_body.data : "", g_body.len); }

  std::string address_;
};

TEST_F(ListFetch, NoAnswerAtAllRunsTheWholeScheduleThenCannotReach) {
  for (int k = 0; k < 8; k++) fake::push_reply(fake::no_answer());
  ASSERT_EQ(run(), 1u);

  std::vector<std::string> want;
  for (int k = 0; k < 8; k++) {
    want.push_back(direct());
    want.push_back(lookup());  // no answer is worth asking the API
    if (k == 7) break;
    want.push_back(retry_line(0, kWaits[k]));
    want.push_back("pause " + std::to_string(kWaits[k]));
    want.push_back(std::string("status ") + kLooking);
  }
  want.push_back(std::string("fail ") + kCannotReach);
  EXPECT_EQ(fake::trace(), want);

  int total = 0;
  for (int s : fake::pauses()) total += s;
  EXPECT_EQ(total, 176);
}

// Each attempt: what the host answers, what the lookup gives, what the
// fallback answers, and the status the retry line must show afterwards.
struct ServerErrorAttempt {
  fake::Reply direct;
  const char* link;  // "" = the lookup gives none
  uint32_t lookup_status;
  fake::Reply fallback;
  uint32_t shown;
};

TEST_F(ListFetch, ServerErrorsEveryTimeEndWithServersFailingShowingTheHostsOwnStatus) {
  const ServerErrorAttempt attempts[8] = {
      {fake::answer(503), "", fake::kNoLookup, {}, 503},
      {fake::answer(502), kApiLink, 200, fake::no_answer(), 502},
      // A 404 from the fallback is not the release lacking its list.
      {fake::answer(500), kApiLink, 200, fake::answer(404), 500},
      {fake::answer(504), kApiLink, 200, fake::answer(503), 504},
      {fake::answer(599), kApiLink, 200, fake::cut_body("tag v"), 599},
      // Without a link the lookup's own answer is what stands.
      {fake::answer(503), "", 500, {}, 500},
      {fake::answer(502), kApiLink, 200, fake::body(""), 502},
      {fake::answer(503), kApiLink, 200, fake::no_answer(), 503},
  };
  std::vector<std::string> want;
  for (int k = 0; k < 8; k++) {
    const ServerErrorAttempt& a = attempts[k];
    fake::push_reply(a.direct);
    fake::push_link(a.link, a.lookup_status);
    want.push_back(direct());
    want.push_back(lookup());
    if (a.link[0]) {
      fake::push_reply(a.fallback);
      want.push_back(fallback());
    }
    if (k == 7) break;
    want.push_back(retry_line(a.shown, kWaits[k]));
    want.push_back("pause " + std::to_string(kWaits[k]));
    want.push_back(std::string("status ") + kLooking);
  }
  want.push_back(std::string("fail ") + kServersFailing);

  ASSERT_EQ(run(), 1u);
  EXPECT_EQ(fake::trace(), want);
}

// Only the last attempt decides between the two messages.
TEST_F(ListFetch, LastAttemptDecidesBetweenCannotReachAndServersFailing) {
  struct Case {
    fake::Reply earlier, last;
    const char* message;
  } cases[] = {
      {fake::answer(503), fake::no_answer(), kCannotReach},
      {fake::no_answer(), fake::answer(500), kServersFailing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    fake::reset();
    for (int k = 0; k < 7; k++) fake::push_reply(c.earlier);
    fake::push_reply(c.last);
    ASSERT_EQ(run(), 1u);
    EXPECT_EQ(fake::gets().size(), 8u);
    EXPECT_EQ(fake::fail_text(), std::wstring(c.message, c.message + strlen(c.message)));
  }
}

TEST_F(ListFetch, SucceedsOnTheEighthAttempt) {
  for (int k = 0; k < 7; k++) fake::push_reply(fake::no_answer());
  fake::push_reply(fake::body(kList));
  ASSERT_EQ(run(), 0u);
  EXPECT_EQ(body(), kList);
  EXPECT_EQ(fake::pauses(), std::vector<int>(kWaits, kWaits + 7));
  EXPECT_FALSE(fake::failed());
}

TEST_F(ListFetch, NotFoundEndsAtOnceNamingTheReleasePage) {
  fake::push_reply(fake::answer(404));
  ASSERT_EQ(run(), 1u);
  // No wait, and 404 is not worth a fallback.
  EXPECT_EQ(fake::trace(),
            (std::vector<std::string>{direct(), std::string("fail ") + kNoSetupFiles}));
}

TEST_F(ListFetch, FallbackAfterNoAnswerOrServerErrorGivesTheListWithoutWaiting) {
  const fake::Reply directs[] = {fake::no_answer(), fake::answer(500), fake::answer(503)};
  for (const fake::Reply& d : directs) {
    SCOPED_TRACE(d.status);
    fake::reset();
    mem_free(&g_body);
    fake::push_reply(d);
    fake::push_link(kApiLink, 200);
    fake::push_reply(fake::body(kList));
    ASSERT_EQ(run(), 0u);
    EXPECT_EQ(fake::trace(), (std::vector<std::string>{direct(), lookup(), fallback()}));
    EXPECT_EQ(body(), kList);
    EXPECT_EQ(fake::gets().at(1).expected, 0u);
  }
}

TEST_F(ListFetch, TransientAnswersBelow500AreRetriedWithoutTheFallback) {
  const fake::Reply firsts[] = {
      fake::body(""),              // 200, nothing in it
      fake::cut_body("tag v1.1"),  // 200, connection dropped mid-body
      fake::answer(403), fake::answer(408), fake::answer(429),
  };
  for (const fake::Reply& first : firsts) {
    SCOPED_TRACE(first.status);
    fake::reset();
    mem_free(&g_body);
    fake::push_reply(first);
    fake::push_reply(fake::body(kList));
    ASSERT_EQ(run(), 0u);
    EXPECT_EQ(fake::trace(),
              (std::vector<std::string>{direct(), retry_line(first.status, 3), "pause 3",
                                        std::string("status ") + kLooking, direct()}));
    // Nothing of a dropped first body may stay in front of the list.
    EXPECT_EQ(body(), kList);
  }
}

TEST_F(ListFetch, FinalStatusesEndAtOnceWithTheRefusal) {
  const uint32_t finals[] = {1,   100, 199, 201, 204, 301, 304, 400, 401, 402,
                             405, 407, 409, 410, 418, 428, 430, 451, 499};
  for (uint32_t s : finals) {
    SCOPED_TRACE(s);
    fake::reset();
    fake::push_reply(fake::answer(s));
    ASSERT_EQ(run(), 1u);
    ASSERT_EQ(fake::trace().size(), 2u);
    EXPECT_EQ(fake::trace()[0], direct());
    std::string shown = fake::narrow(fake::fail_text());
    EXPECT_NE(shown.find("status " + std::to_string(s) + ")"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(kNoSetupFiles), std::string::npos);
  }
}

// When the lookup gives no link, its own request's answer is judged.
TEST_F(ListFetch, LookupAnswerStandsWhenItGivesNoLink) {
  struct Case {
    fake::Reply direct;
    uint32_t lookup_status;
    const char* message;  // null: refused, naming the status
  } cases[] = {
      {fake::answer(503), 404, kNoSetupFiles},
      {fake::no_answer(), 404, kNoSetupFiles},
      {fake::answer(502), 401, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lookup_status);
    fake::reset();
    fake::push_reply(c.direct);
    fake::push_link("", c.lookup_status);
    ASSERT_EQ(run(), 1u);
    EXPECT_TRUE(fake::pauses().empty());
    EXPECT_EQ(fake::gets().size(), 1u);
    std::string shown = fake::narrow(fake::fail_text());
    if (c.message)
      EXPECT_EQ(shown, c.message);
    else
      EXPECT_NE(shown.find("status 401)"), std::string::npos) << shown;
  }
}

}  // namespace
