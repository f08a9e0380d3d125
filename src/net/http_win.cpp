// One synchronous GET through WinHTTP, body handed to a sink chunk by chunk.
#include "net/http_win.h"

#include <windows.h>
#include <winhttp.h>

#include "base/bounds.h"
#include "ui/ui.h"

uint32_t g_http_status;

// Some WinHTTP builds (Wine's among them) end a body that the server cut
// short as if it were complete. A setup list cut at a line end would then
// parse as a valid list with parts missing, so a body that falls short of
// the length its own headers announced is a failed download.
static int length_agrees(HINTERNET request, uint64_t received) {
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

int http_get(const char* address, Sink sink, void* context, uint64_t expected,
             const wchar_t* accept) {
  // Worker thread only, one call at a time: the buffer is shared.
  static BYTE buf[65536];
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

  int result = 0;
  HINTERNET session = nullptr, connection = nullptr, request = nullptr;
  const wchar_t* types[2] = {accept, nullptr};

  session = WinHttpOpen(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session)  // automatic proxy discovery needs Windows 8.1
    session = WinHttpOpen(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return 0;
  WinHttpSetTimeouts(session, 30000, 30000, 30000, 60000);
  {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
  }

  connection = WinHttpConnect(session, host, parts.nPort, 0);
  if (!connection) goto done;
  request = WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                               accept ? types : WINHTTP_DEFAULT_ACCEPT_TYPES,
                               parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (!request) goto done;
  if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                          0) ||
      !WinHttpReceiveResponse(request, nullptr))
    goto done;

  {
    DWORD code = 0, size = sizeof code;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
    g_http_status = code;
    if (code != 200) goto done;
  }

  {
    uint64_t received = 0;
    for (;;) {
      DWORD count = 0;
      if (!WinHttpReadData(request, buf, sizeof buf, &count)) break;
      if (count == 0) {
        result = (expected == 0 || received == expected) && length_agrees(request, received);
        break;
      }
      if (!sink(context, buf, count)) break;
      received += count;
      if (expected) {
        // Not clamped: a body longer than announced shows past 100 and
        // is then refused when it ends.
        uint64_t percent = received > UINT64_MAX / 100 ? UINT64_MAX : received * 100 / expected;
        g_percent.exchange((int)(percent > INT32_MAX ? INT32_MAX : percent));
        PostMessageW(g_win, WM_SETUP_STATUS, 0, 0);
      }
    }
  }

done:
  if (request) WinHttpCloseHandle(request);
  if (connection) WinHttpCloseHandle(connection);
  WinHttpCloseHandle(session);
  return result;
}

int file_sink(void* context, const void* bytes, uint32_t count) {
  FileTarget* t = (FileTarget*)context;
  DWORD wrote = 0;
  if (!WriteFile(t->file, bytes, count, &wrote, nullptr) || wrote != count) return 0;
  return BCryptHashData(t->hash, (PUCHAR)bytes, count, 0) == 0;
}
