// A scripted network in place of http_win and api_link_win. It keeps the
// contract the callers rely on (status only when a response arrived, the
// body through the caller's sink, the expected size checked, g_percent
// driven on sized downloads) so that the callers' own logic is what the
// tests judge.
#include <windows.h>

#include <deque>

#include "base/bounds.h"
#include "net/api_link_win.h"
#include "net/http_win.h"
#include "ui/ui.h"
#include "unit/seams/fakes.h"

uint32_t g_http_status;

namespace fake {
namespace {

struct LinkReply {
  std::string link;
  uint32_t lookup_status;
};

std::deque<Reply> g_replies;
std::deque<LinkReply> g_link_replies;

}  // namespace

Reply no_answer() { return Reply{0, std::string(), false}; }
Reply answer(uint32_t status) { return Reply{status, std::string(), false}; }
Reply body(const std::string& bytes) { return Reply{200, bytes, false}; }
Reply cut_body(const std::string& bytes) { return Reply{200, bytes, true}; }

void push_reply(const Reply& r) { g_replies.push_back(r); }
void push_link(const std::string& link, uint32_t lookup_status) {
  g_link_replies.push_back(LinkReply{link, lookup_status});
}
size_t replies_left() { return g_replies.size(); }
size_t links_left() { return g_link_replies.size(); }

namespace detail {
void reset_net() {
  g_replies.clear();
  g_link_replies.clear();
}
}  // namespace detail

}  // namespace fake

// Ranges are ignored: a 200 body replaces what the file held.
static FileTarget* g_replaced;

int http_get(const char* address, Sink sink, void* context, uint64_t expected,
             const wchar_t* accept) {
  fake::detail::note_get(
      fake::Get{address, accept ? accept : L"", expected, g_percent.load()});
  fake::Reply r = fake::no_answer();
  if (!fake::g_replies.empty()) {
    r = fake::g_replies.front();
    fake::g_replies.pop_front();
  }
  if (r.status == 0) return 0;
  g_http_status = r.status;
  if (r.status != 200) return 0;
  if (g_replaced && !file_restart(g_replaced)) return 0;

  // Two chunks when there is more than a byte, so that a sink sees a body
  // arrive in pieces as it does from the wire.
  uint64_t received = 0;
  size_t at = 0;
  while (at < r.body.size()) {
    size_t n = r.body.size() - at;
    if (n > 1 && at == 0) n /= 2;
    if (!sink(context, r.body.data() + at, (uint32_t)n)) return 0;
    at += n;
    received += n;
    if (expected) g_percent.exchange((int)(received * 100 / expected));
  }
  if (r.cut) return 0;
  return expected == 0 || received == expected;
}

int http_get_file(const char* address, FileTarget* t, uint64_t size, const wchar_t* accept) {
  g_replaced = t->have ? t : nullptr;
  int ok = http_get(address, file_sink, t, size, accept);
  g_replaced = nullptr;
  t->began = 0;
  return ok;
}

int api_link_for(const char* link, char out[1024]) {
  fake::detail::note_link(link);
  if (fake::g_link_replies.empty()) return 0;
  fake::LinkReply r = fake::g_link_replies.front();
  fake::g_link_replies.pop_front();
  if (r.lookup_status != fake::kNoLookup) g_http_status = r.lookup_status;
  if (r.link.empty()) return 0;
  copy_cut(out, 1024, r.link.c_str());
  return 1;
}

// Reached only through the real api_link_for, which this file replaces;
// defined so that nothing pulls the real object in beside this one.
int api_asset_url(const char*, const char*, const char*, char[1024]) { return 0; }
