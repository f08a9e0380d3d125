// One synchronous GET through WinHTTP, body handed to a sink chunk by chunk.
#include "net/http_win.h"

#include <windows.h>
#include <winhttp.h>
#include <wchar.h>

#include "base/bounds.h"
#include "base/text_win.h"
#include "ui/ui.h"

uint32_t g_http_status;

namespace {

struct Exchange {
  HINTERNET session, connection, request;
};

void close_exchange(Exchange* x) {
  if (x->request) WinHttpCloseHandle(x->request);
  if (x->connection) WinHttpCloseHandle(x->connection);
  if (x->session) WinHttpCloseHandle(x->session);
  *x = Exchange{};
}

// Sends the GET (asking for the bytes from `from` on when it is above 0)
// and waits for the answer. Returns 1 once a response has arrived, its
// status in g_http_status; what was opened stays in x for close_exchange.
int send_get(Exchange* x, const char* address, const wchar_t* accept, uint64_t from) {
  wchar_t wide[1024];
  wchar_t host[256];
  wchar_t path[1024];
  wide[0] = 0;
  if (MultiByteToWideChar(CP_UTF8, 0, address, -1, wide, dimof(wide)) <= 0) return 0;

  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = dimof(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = dimof(path);
  if (!WinHttpCrackUrl(wide, 0, 0, &parts)) return 0;
  if (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP) return 0;

  x->session = WinHttpOpen(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!x->session)  // automatic proxy discovery needs Windows 8.1
    x->session = WinHttpOpen(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!x->session) return 0;
  WinHttpSetTimeouts(x->session, 30000, 30000, 30000, 60000);
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(x->session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);

  x->connection = WinHttpConnect(x->session, host, parts.nPort, 0);
  if (!x->connection) return 0;
  const wchar_t* types[2] = {accept, nullptr};
  x->request = WinHttpOpenRequest(x->connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                  accept ? types : WINHTTP_DEFAULT_ACCEPT_TYPES,
                                  parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (!x->request) return 0;
  if (from) {
    // Added to the request rather than sent with it: WinHTTP then sends it
    // again on the redirects to the host's storage.
    wchar_t range[64];
    WFMT(range, L"Range: bytes=%llu-", (unsigned long long)from);
    if (!WinHttpAddRequestHeaders(x->request, range, (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD))
      return 0;
  }
  if (!WinHttpSendRequest(x->request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                          0, 0) ||
      !WinHttpReceiveResponse(x->request, nullptr))
    return 0;

  DWORD code = 0, size = sizeof code;
  WinHttpQueryHeaders(x->request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
  g_http_status = code;
  return 1;
}

// Some WinHTTP builds (Wine's among them) end a body that the server cut
// short as if it were complete. A setup list cut at a line end would then
// parse as a valid list with parts missing, so a body that falls short of
// the length its own headers announced is a failed download.
int length_agrees(HINTERNET request, uint64_t received) {
  wchar_t text[32];
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX))
    return 1;  // no length given (chunked or close-delimited)
  uint64_t announced = 0;
  for (const wchar_t* p = text; *p; p++) {
    if (*p < L'0' || *p > L'9' || announced > UINT64_MAX / 10) return 1;
    announced = announced * 10 + (uint64_t)(*p - L'0');
  }
  return announced == received;
}

// Nonzero when the 206 carries exactly the bytes from `from` to the last
// of a file of `size` bytes: anything else would put foreign bytes after
// ours (another offset, or another file of another length).
int range_agrees(HINTERNET request, uint64_t from, uint64_t size) {
  wchar_t got[96], want[96];
  DWORD bytes = sizeof got;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, got,
                           &bytes, WINHTTP_NO_HEADER_INDEX))
    return 0;
  WFMT(want, L"bytes %llu-%llu/%llu", (unsigned long long)from, (unsigned long long)(size - 1),
       (unsigned long long)size);
  return _wcsicmp(got, want) == 0;
}

// Shows done/size as a whole percentage when it differs from the one
// shown: a post per chunk would cost the download some of its rate under
// Wine, for a bar that moves a hundred times.
int show_percent(uint64_t done, uint64_t size, int shown) {
  uint64_t percent = done > UINT64_MAX / 100 ? UINT64_MAX : done * 100 / size;
  int now = (int)(percent > INT32_MAX ? INT32_MAX : percent);
  if (now == shown) return shown;
  g_percent.exchange(now);
  PostMessageW(g_win, WM_SETUP_STATUS, 0, 0);
  return now;
}

// Reads the body into sink. expected: its exact length (0 = any). size:
// the whole file's length for the bar (0 = no bar), of which `base` bytes
// came before this body.
int read_body(HINTERNET request, Sink sink, void* context, uint64_t expected, uint64_t base,
              uint64_t size) {
  // Worker thread only, one call at a time: the buffer is shared.
  static BYTE buf[65536];
  int shown = -1;
  if (size && base) shown = show_percent(base, size, shown);
  uint64_t received = 0;
  for (;;) {
    DWORD count = 0;
    if (!WinHttpReadData(request, buf, sizeof buf, &count)) return 0;
    if (count == 0)
      return (expected == 0 || received == expected) && length_agrees(request, received);
    // A body longer than announced is refused before its excess reaches
    // the sink: a file must never hold more than the part.
    if (expected && count > expected - received) return 0;
    if (!sink(context, buf, count)) return 0;
    received += count;
    if (size) shown = show_percent(base + received, size, shown);
  }
}

}  // namespace

int http_get(const char* address, Sink sink, void* context, uint64_t expected,
             const wchar_t* accept) {
  Exchange x = {};
  int result = 0;
  if (send_get(&x, address, accept, 0) && g_http_status == 200)
    result = read_body(x.request, sink, context, expected, 0, expected);
  close_exchange(&x);
  return result;
}

int http_get_file(const char* address, FileTarget* t, uint64_t size, const wchar_t* accept) {
  Exchange x = {};
  int result = 0;
  uint64_t from = t->have < size ? t->have : 0;
  if (!send_get(&x, address, accept, from)) goto done;
  if (from && g_http_status == 416) {
    // The host holds no such range: the file there is not the one whose
    // start we have. Start over with the whole file, in this attempt.
    close_exchange(&x);
    if (!file_restart(t)) goto done;
    from = 0;
    if (!send_get(&x, address, accept, 0)) goto done;
  }
  if (g_http_status == 200) {
    // The range was ignored: this body is the whole file.
    if (from && !file_restart(t)) goto done;
    from = 0;
  } else if (g_http_status != 206 || !from || !range_agrees(x.request, from, size)) {
    if (g_http_status == 206) file_restart(t);
    goto done;
  }
  t->began = from;
  result = read_body(x.request, file_sink, t, size - from, from, size);
done:
  close_exchange(&x);
  return result;
}
