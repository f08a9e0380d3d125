// https_probe.exe <url> [accept-type]: one WinHTTP GET with the session
// settings of the setup's own download code (automatic proxy, the same
// time-outs, https-to-http redirects refused), printing what WinHTTP
// reports, one line each:
//   send failed <error> | receive failed <error>
//   status <code>
//   read <count>          per WinHttpReadData call that returned data
//   read failed <error>
//   total <bytes>
// Exit code 0 for status 200 with the body read to its end, else 1 (2 for
// usage or set-up failures). Used to check that a Wine prefix trusts the
// test CA and to see how WinHTTP treats what the release server sends.
//
// WinHTTP is loaded at run time because the test tools are not linked with
// it; the declarations still come from winhttp.h.
#include <windows.h>
#include <winhttp.h>
#include <stdio.h>

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif

namespace {

struct Api {
  decltype(&WinHttpCrackUrl) crack;
  decltype(&WinHttpOpen) open;
  decltype(&WinHttpSetTimeouts) timeouts;
  decltype(&WinHttpSetOption) set_option;
  decltype(&WinHttpConnect) connect;
  decltype(&WinHttpOpenRequest) open_request;
  decltype(&WinHttpSendRequest) send;
  decltype(&WinHttpReceiveResponse) receive;
  decltype(&WinHttpQueryHeaders) query;
  decltype(&WinHttpReadData) read;
  decltype(&WinHttpCloseHandle) close;
};

template <typename T>
int load(HMODULE m, const char* name, T* out) {
  *out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  if (!*out) fprintf(stderr, "https_probe: winhttp.dll lacks %s\n", name);
  return *out != nullptr;
}

int load_api(Api* a) {
  HMODULE m = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!m) {
    fprintf(stderr, "https_probe: cannot load winhttp.dll (Windows error %lu)\n", GetLastError());
    return 0;
  }
  return load(m, "WinHttpCrackUrl", &a->crack) && load(m, "WinHttpOpen", &a->open) &&
         load(m, "WinHttpSetTimeouts", &a->timeouts) &&
         load(m, "WinHttpSetOption", &a->set_option) && load(m, "WinHttpConnect", &a->connect) &&
         load(m, "WinHttpOpenRequest", &a->open_request) &&
         load(m, "WinHttpSendRequest", &a->send) &&
         load(m, "WinHttpReceiveResponse", &a->receive) &&
         load(m, "WinHttpQueryHeaders", &a->query) && load(m, "WinHttpReadData", &a->read) &&
         load(m, "WinHttpCloseHandle", &a->close);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  static BYTE buf[65536];
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: https_probe.exe <url> [accept-type]\n");
    return 2;
  }
  Api w;
  if (!load_api(&w)) return 2;

  wchar_t host[256];
  wchar_t path[1024];
  URL_COMPONENTS uc;
  ZeroMemory(&uc, sizeof(uc));
  uc.dwStructSize = sizeof(uc);
  uc.lpszHostName = host;
  uc.dwHostNameLength = ARRAYSIZE(host);
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = ARRAYSIZE(path);
  if (!w.crack(argv[1], 0, 0, &uc)) {
    fprintf(stderr, "https_probe: cannot split the URL (Windows error %lu)\n", GetLastError());
    return 2;
  }

  int rc = 1;
  HINTERNET session = nullptr, conn = nullptr, req = nullptr;
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  DWORD status = 0, size = sizeof(status), count = 0;
  unsigned long long total = 0;
  const wchar_t* accept[] = {argc == 3 ? argv[2] : nullptr, nullptr};

  session = w.open(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session)
    session = w.open(L"BrisquelBuilder-Setup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) {
    fprintf(stderr, "https_probe: WinHttpOpen failed (Windows error %lu)\n", GetLastError());
    rc = 2;
    goto out;
  }
  w.timeouts(session, 30000, 30000, 30000, 60000);
  w.set_option(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
  conn = w.connect(session, host, uc.nPort, 0);
  if (!conn) {
    fprintf(stderr, "https_probe: WinHttpConnect failed (Windows error %lu)\n", GetLastError());
    rc = 2;
    goto out;
  }
  req = w.open_request(conn, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                       argc == 3 ? accept : WINHTTP_DEFAULT_ACCEPT_TYPES,
                       uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (!req) {
    fprintf(stderr, "https_probe: WinHttpOpenRequest failed (Windows error %lu)\n",
            GetLastError());
    rc = 2;
    goto out;
  }
  if (!w.send(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    printf("send failed %lu\n", GetLastError());
    goto out;
  }
  if (!w.receive(req, nullptr)) {
    printf("receive failed %lu\n", GetLastError());
    goto out;
  }
  w.query(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
          &status, &size, WINHTTP_NO_HEADER_INDEX);
  printf("status %lu\n", status);
  // The body is read whatever the status, to see what WinHTTP hands over.
  for (;;) {
    count = 0;
    if (!w.read(req, buf, sizeof(buf), &count)) {
      printf("read failed %lu\n", GetLastError());
      break;
    }
    if (count == 0) {
      if (status == 200) rc = 0;
      break;
    }
    printf("read %lu\n", count);
    total += count;
  }
  printf("total %llu\n", total);
out:
  fflush(stdout);
  if (req) w.close(req);
  if (conn) w.close(conn);
  if (session) w.close(session);
  return rc;
}
