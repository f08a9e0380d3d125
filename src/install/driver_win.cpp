// The worker thread: from the start of the run to the install decision.
#include <windows.h>

#include <string.h>

#include "base/cmdline.h"
#include "base/text_win.h"
#include "install/messages.h"
#include "install/guard_win.h"
#include "install/retry.h"
#include "install/run_win.h"
#include "net/api_link_win.h"
#include "net/http_win.h"
#include "net/release_host.h"
#include "net/setup_address.h"
#include "install/list_signature_win.h"
#include "ui/running_win.h"
#include "ui/ui.h"

enum Attempt { ATTEMPT_DONE, ATTEMPT_RETRY };

// One attempt at the setup list: its own address first, then, when the
// host gave no answer or a server error, the same file through the API.
// A final status ends the run here.
static Attempt list_attempt(MemBuffer* b) {
  mem_free(b);
  g_http_status = 0;
  if (http_get(manifest_url(), mem_sink, b, 0, nullptr) && b->data) return ATTEMPT_DONE;

  uint32_t direct = g_http_status;
  if (direct == 0 || direct >= 500) {
    char link[1024];
    if (api_link_for(manifest_url(), link)) {
      mem_free(b);
      if (http_get(link, mem_sink, b, 0, L"application/octet-stream") && b->data)
        return ATTEMPT_DONE;
      // The user hears about the host's own answer, not the fallback's.
      g_http_status = direct;
      return ATTEMPT_RETRY;
    }
  }
  if (status_is_transient(g_http_status)) return ATTEMPT_RETRY;
  if (g_http_status == 404) fail(MSG_NO_SETUP_FILES, RELEASE_HOST, REPOSITORY);
  fail(MSG_LIST_REFUSED, (unsigned long)g_http_status, RELEASE_HOST, REPOSITORY);
}

void fetch_setup_list(MemBuffer* b) {
  for (int k = 0;; k++) {
    if (list_attempt(b) == ATTEMPT_DONE) return;
    if (k == DOWNLOAD_ATTEMPTS - 1) break;
    status(MSG_LIST_RETRY, (unsigned long)g_http_status, waits[k]);
    pause_seconds(waits[k]);
    status(MSG_LOOKING);
  }
  if (g_http_status == 0) fail(MSG_CANNOT_REACH);
  fail(MSG_SERVERS_FAILING);
}

// Checks the list and builds the version's paths from it.
static void settle_list(RunState* run, char* body) {
  parse_setup_list(body, &run->list);
  switch (check_setup_list(&run->list)) {
    case LIST_ACCEPTED:
      break;
    case LIST_UNREADABLE:
      fail(kListUnreadableMessage);
    case LIST_REJECTED:
      fail(kListRejectedMessage);
  }
  char requested[128];
  if (check_requested_tag(&run->list, requested)) {
    wchar_t wrequested[128];
    WIDEN(run->tag, run->list.tag);
    WIDEN(wrequested, requested);
    fail(kTagMismatchMessage, run->tag, wrequested);
  }
  WIDEN(run->tag, run->list.tag);
  WIDEN(run->run, run->list.run);
  WFMT(run->versions_dir, L"%ls\\versions", g_data_root);
  WFMT(run->version_dir, L"%ls\\%ls", run->versions_dir, run->tag);
  WFMT(run->installed_txt, L"%ls\\installed.txt", run->version_dir);
  WFMT(run->run_target, L"%ls\\%ls", run->version_dir, run->run);
  to_backslashes(run->run_target);
  WFMT(run->staging_dir, L"%ls\\%ls.part", run->versions_dir, run->tag);
}

DWORD WINAPI work(LPVOID) {
  // Static: the list alone is some 35 KiB, more than a worker stack needs.
  static RunState run;
  static MemBuffer body;
  mark_setup_window(g_guard_key);
  run.repair = cmdline_cut(L"--repair");
  if (run.repair) Sleep(2000);  // lets a builder that asked for the repair exit first
  prepare_data_root();
  status(MSG_LOOKING);
  fetch_setup_list(&body);
  // Whoever can publish a release can replace the list: a keyed setup uses
  // one only when the makers signed it. Another try would get the same list.
  if (!list_signed_by_makers(body.data, (size_t)body.len)) fail(MSG_LIST_NOT_SIGNED);
  settle_list(&run, body.data);

  int install = run.repair || !path_exists(run.installed_txt) || !path_exists(run.run_target);
  if (!install) finish_run(&run, 0);

  rmtree(run.staging_dir);
  rmtree(run.version_dir);
  make_dirs(run.staging_dir);
  for (unsigned i = 0; i < run.list.part_count; i++) acquire_part(&run, i);
  finish_run(&run, 1);
}
