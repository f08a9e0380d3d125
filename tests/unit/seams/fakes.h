// Stand-ins for the network, the status channel and the pause between
// attempts. Every *_seam_test links these objects ahead of the product
// libraries, so they replace http_win, api_link_win, status_win and
// pause_win whole: a retry schedule of three minutes runs in milliseconds
// and a server can answer anything we like.
//
// The code under test ends through fail(), which ends its thread just as
// the real one does; run it through run_worker and read the records after.
#pragma once
#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace fake {

// One scripted outcome of http_get.
struct Reply {
  uint32_t status;   // 0: no response arrived (g_http_status left alone)
  std::string body;  // handed to the sink when status is 200
  bool cut;          // the connection drops after the body: the read fails
};
Reply no_answer();
Reply answer(uint32_t status);           // a status without a body
Reply body(const std::string& bytes);    // 200 and the whole body
Reply cut_body(const std::string& bytes);  // 200, these bytes, then a failed read

// Queues the outcome of the next unanswered http_get. An empty queue
// answers nothing, as a network that is down would.
void push_reply(const Reply& r);

// The lookup did not reach the release API: g_http_status left alone.
constexpr uint32_t kNoLookup = 0xffffffffu;
// Queues the outcome of the next api_link_for: the link it gives (empty:
// none) and the status its own request to the release API left behind.
// An empty queue gives no link and leaves the status alone.
void push_link(const std::string& link, uint32_t lookup_status = kNoLookup);

struct Get {
  std::string address;
  std::wstring accept;  // empty when none was sent
  uint64_t expected;
  int percent_before;  // g_percent when the call came in
};

// Everything the code under test did, in order: "get <address> [accept]",
// "link <address>", "status <text>", "pause <seconds>", "pause_ms <ms>",
// "fail <text>".
const std::vector<std::string>& trace();
const std::vector<Get>& gets();
const std::vector<std::string>& link_requests();
std::vector<std::wstring> statuses();
std::vector<int> pauses();
// The waits of file operations held by another program, in milliseconds;
// each is noted "pause_ms <ms>" in the trace. The hook, when set, runs at
// each of them with its 1-based count: a test lets a hold go there.
std::vector<int> pauses_ms();
void on_pause_ms(void (*hook)(size_t nth));
bool failed();
std::wstring fail_text();
size_t replies_left();
size_t links_left();

// Clears queues and records, and puts g_percent and g_http_status back to
// their start values.
void reset();

// Runs body(arg) on a thread of its own and waits for it. Returns the
// thread's exit code: 0 when body returned, 1 when it ended through fail,
// WAIT_TIMEOUT when it did not end in time.
DWORD run_worker(void (*body)(void*), void* arg, DWORD timeout_ms = 60000);

std::string narrow(const std::wstring& w);

// For the fakes themselves.
namespace detail {
void note(const std::string& line);
void note_get(const Get& g);
void note_link(const char* address);
void note_status(const wchar_t* text);
void note_pause(int seconds);
void note_fail(const wchar_t* text);
void reset_net();
void reset_pause_ms();
}  // namespace detail

// A file's bytes ("<absent>" when it cannot be opened), and a file made to
// hold exactly these bytes (the test ends when it cannot be written).
std::string read_file(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& bytes);

// A fresh, uniquely named directory under the temp folder, and its removal.
std::wstring make_temp_dir(const wchar_t* prefix);
void remove_tree(const std::wstring& dir);

}  // namespace fake
