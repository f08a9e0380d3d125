// The floor for the setup's downloads: the same WinHTTP GETs into files,
// hashed with BCrypt while they arrive, and nothing else.
//   min_fetch.exe OUTDIR URL...     (no URL given: nothing fetched)
// Prints one line per URL: bytes, sha256; then the wall time in ms.
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <stdio.h>

static BYTE buf[65536];

static int fetch(const wchar_t* url, const wchar_t* out_path, unsigned long long* bytes,
                 char hex[65]) {
  wchar_t host[256], path[1024];
  URL_COMPONENTS uc = {};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = 256;
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = 1024;
  if (!WinHttpCrackUrl(url, 0, 0, &uc)) return 0;
  HINTERNET s = WinHttpOpen(L"min-fetch", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
  HINTERNET c = WinHttpConnect(s, host, uc.nPort, 0);
  HINTERNET r = WinHttpOpenRequest(c, L"GET", path, nullptr, nullptr, nullptr,
                                   uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  int ok = r && WinHttpSendRequest(r, nullptr, 0, nullptr, 0, 0, 0) &&
           WinHttpReceiveResponse(r, nullptr);
  HANDLE f = out_path ? CreateFileW(out_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr)
                      : INVALID_HANDLE_VALUE;
  BCRYPT_ALG_HANDLE alg;
  BCRYPT_HASH_HANDLE h;
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0);
  *bytes = 0;
  while (ok) {
    DWORD n = 0;
    if (!WinHttpReadData(r, buf, sizeof buf, &n) || n == 0) break;
    DWORD w = 0;
    if (f != INVALID_HANDLE_VALUE) WriteFile(f, buf, n, &w, nullptr);
    BCryptHashData(h, buf, n, 0);
    *bytes += n;
  }
  UCHAR d[32];
  BCryptFinishHash(h, d, 32, 0);
  BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(alg, 0);
  for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
  if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
  if (r) WinHttpCloseHandle(r);
  if (c) WinHttpCloseHandle(c);
  if (s) WinHttpCloseHandle(s);
  return ok;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: min_fetch.exe OUTDIR|- URL...\n");
    return 2;
  }
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  int failed = 0;
  for (int i = 2; i < argc; i++) {
    wchar_t out[1024];
    const wchar_t* name = wcsrchr(argv[i], L'/');
    _snwprintf(out, 1023, L"%ls\\%ls", argv[1], name ? name + 1 : argv[i]);
    out[1023] = 0;
    unsigned long long bytes = 0;
    char hex[65] = {};
    int ok = fetch(argv[i], wcscmp(argv[1], L"-") ? out : nullptr, &bytes, hex);
    printf("%llu %s\n", bytes, hex);
    failed += !ok;
  }
  QueryPerformanceCounter(&t1);
  printf("ms %.1f\n", (t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
  return failed ? 1 : 0;
}
