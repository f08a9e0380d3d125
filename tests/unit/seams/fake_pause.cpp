// The waits between attempts, recorded and skipped.
#include "install/fs_win.h"
#include "install/run_win.h"
#include "unit/seams/fakes.h"

void pause_seconds(int seconds) { fake::detail::note_pause(seconds); }

namespace {
std::vector<int> g_pauses_ms;
void (*g_hook)(size_t);
}  // namespace

void pause_ms(int ms) {
  // Only the worker waits, and the test reads once it has ended.
  g_pauses_ms.push_back(ms);
  fake::detail::note("pause_ms " + std::to_string(ms));
  if (g_hook) g_hook(g_pauses_ms.size());
}

namespace fake {
std::vector<int> pauses_ms() { return g_pauses_ms; }
void on_pause_ms(void (*hook)(size_t nth)) { g_hook = hook; }
namespace detail {
void reset_pause_ms() {
  g_pauses_ms.clear();
  g_hook = nullptr;
}
}  // namespace detail
}  // namespace fake
