// The download layer against the local release server, through real
// WinHTTP and real TLS (the test CA is trusted by the test prefix).
#include <windows.h>
#include <bcrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/api_link_win.h"
#include "net/http_win.h"
#include "ui/ui.h"

namespace {

const char kHttps[] = "https://localhost:47443";
const char kHttp[] = "http://localhost:47080";

std::string get_text(const std::string& url) {
  MemBuffer b = {};
  int ok = http_get(url.c_str(), mem_sink, &b, 0, nullptr);
  std::string s = ok && b.data ? std::string(b.data, b.len) : std::string();
  mem_free(&b);
  return s;
}

std::string control(const std::string& query) { return get_text(std::string(kHttp) + "/_control/" + query); }

size_t requests_logged() {
  std::string log = control("log?format=lines");
  size_t n = 0;
  for (char c : log) n += c == '\n';
  return n;
}

std::string pattern(size_t n) {
  std::string s(n, 0);
  for (size_t i = 0; i < n; i++) s[i] = (char)(i % 251);
  return s;
}

// A hidden window stands in for the progress window: it collects the
// WM_SETUP_STATUS posts that downloads of known size make.
struct PostCounter {
  HWND win;
  PostCounter() {
    win = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    g_win = win;
  }
  ~PostCounter() {
    drain();
    DestroyWindow(win);
    g_win = nullptr;
  }
  int drain() {
    int n = 0;
    MSG m;
    while (PeekMessageW(&m, win, WM_SETUP_STATUS, WM_SETUP_STATUS, PM_REMOVE)) n++;
    return n;
  }
};

// Records every chunk and the progress value seen when it arrived.
struct Recorder {
  std::string body;
  std::vector<uint32_t> chunks;
  std::vector<int> percent_before;
  int refuse_at = -1;
};

int recording_sink(void* ctx, const void* bytes, uint32_t count) {
  Recorder* r = (Recorder*)ctx;
  if ((int)r->chunks.size() == r->refuse_at) return 0;
  r->percent_before.push_back(g_percent.load());
  r->chunks.push_back(count);
  r->body.append((const char*)bytes, count);
  return 1;
}

class Http : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0u, control("ping").find("ok")) << "the release server is not running";
    control("clear?releases=1");
    g_percent.store(-1);
  }
};

TEST_F(Http, StatusesAndNoAnswer) {
  const struct {
    std::string url;
    uint32_t status;  // expected g_http_status; 777 = untouched
  } cases[] = {
      {std::string(kHttps) + "/_fixed/status/404", 404},
      {std::string(kHttps) + "/_fixed/status/500", 500},
      {std::string(kHttps) + "/_fixed/status/503", 503},
      {"https://localhost:1/closed-port", 777},
      {"https://no-such-host.invalid/x", 777},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    Recorder r;
    g_http_status = 777;
    EXPECT_EQ(0, http_get(c.url.c_str(), recording_sink, &r, 0, nullptr));
    EXPECT_EQ(c.status, g_http_status);
    EXPECT_TRUE(r.chunks.empty()) << "the body of a failed answer reached the sink";
  }
}

TEST_F(Http, MalformedAddressesNeverReachTheNetwork) {
  size_t before = requests_logged();
  const char* bad[] = {"", "localhost:47443/x", "ftp://localhost:47443/x", "https://", "not a url",
                       "file:///C:/windows/win.ini"};
  for (const char* url : bad) {
    Recorder r;
    g_http_status = 777;
    EXPECT_EQ(0, http_get(url, recording_sink, &r, 0, nullptr)) << url;
    EXPECT_EQ(777u, g_http_status) << url;
  }
  EXPECT_EQ(before, requests_logged());
}

TEST_F(Http, EmptyBodies) {
  MemBuffer b = {};
  std::string url = std::string(kHttps) + "/_fixed/bytes/0";
  EXPECT_EQ(1, http_get(url.c_str(), mem_sink, &b, 0, nullptr));
  EXPECT_EQ(nullptr, b.data);
  EXPECT_EQ(200u, g_http_status);
  EXPECT_EQ(0, http_get(url.c_str(), mem_sink, &b, 10, nullptr));  // a size was promised
  mem_free(&b);
}

TEST_F(Http, SizedDownloadsReportEachNewPercentage) {
  PostCounter posts;
  const struct {
    size_t served;
    uint64_t expected;
    int ok;
  } cases[] = {{1000, 1000, 1}, {1000, 1001, 0}, {1000, 500, 0}, {300000, 300000, 1},
               {3000000, 3000000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.served << " bytes, " << c.expected << " expected");
    Recorder r;
    g_percent.store(-1);
    posts.drain();
    std::string url = std::string(kHttps) + "/_fixed/chunks/400,400,200";
    if (c.served != 1000) url = std::string(kHttps) + "/_fixed/bytes/" + std::to_string(c.served);
    EXPECT_EQ(c.ok, http_get(url.c_str(), recording_sink, &r, c.expected, nullptr));
    // A body longer than promised is refused before its excess is taken.
    EXPECT_EQ(pattern(c.ok ? c.served : r.body.size()), r.body);
    EXPECT_LE(r.body.size(), c.expected);
    // The bar's value before chunk k is the running total in percent; a
    // post is made only when that whole percentage changed.
    uint64_t total = 0;
    int shown = -1, changes = 0;
    for (size_t k = 0; k < r.chunks.size(); k++) {
      EXPECT_EQ(shown, r.percent_before[k]);
      total += r.chunks[k];
      changes += (int)(total * 100 / c.expected) != shown;
      shown = (int)(total * 100 / c.expected);
    }
    EXPECT_EQ(changes, posts.drain());
    EXPECT_EQ(shown, g_percent.load());
  }
}

TEST_F(Http, BodyCutShortOfItsContentLengthFails) {
  // A list cut at a line end would otherwise parse with parts missing.
  Recorder r;
  std::string url = std::string(kHttps) + "/_fixed/bytes/1000?cut_after=400";
  EXPECT_EQ(0, http_get(url.c_str(), recording_sink, &r, 0, nullptr));
  EXPECT_EQ(200u, g_http_status);  // retried as a transient failure
  EXPECT_EQ(1, http_get((std::string(kHttps) + "/_fixed/bytes/1000").c_str(), recording_sink, &r,
                        0, nullptr));
}

TEST_F(Http, UnsizedDownloadsLeaveProgressAlone) {
  PostCounter posts;
  g_percent.store(-7);
  Recorder r;
  std::string url = std::string(kHttps) + "/_fixed/bytes/200000";
  EXPECT_EQ(1, http_get(url.c_str(), recording_sink, &r, 0, nullptr));
  EXPECT_EQ(200000u, r.body.size());
  EXPECT_EQ(-7, g_percent.load());
  EXPECT_EQ(0, posts.drain());
}

TEST_F(Http, SinkRefusalStopsAfterOneRead) {
  Recorder r;
  r.refuse_at = 0;
  std::string url = std::string(kHttps) + "/_fixed/bytes/100000";
  EXPECT_EQ(0, http_get(url.c_str(), recording_sink, &r, 0, nullptr));
  EXPECT_TRUE(r.chunks.empty());
  EXPECT_EQ(200u, g_http_status);
}

std::string hex(const UCHAR* d, int n) {
  std::string s;
  char two[3];
  for (int i = 0; i < n; i++) {
    snprintf(two, sizeof two, "%02x", d[i]);
    s += two;
  }
  return s;
}

std::string finish(BCRYPT_ALG_HANDLE alg, BCRYPT_HASH_HANDLE h) {
  UCHAR d[32];
  EXPECT_EQ(0, BCryptFinishHash(h, d, 32, 0));
  BCryptDestroyHash(h);
  BCryptCloseAlgorithmProvider(alg, 0);
  return hex(d, 32);
}

std::string sha256_of(const std::string& s) {
  BCRYPT_ALG_HANDLE alg;
  BCRYPT_HASH_HANDLE h;
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0);
  BCryptHashData(h, (PUCHAR)s.data(), (ULONG)s.size(), 0);
  return finish(alg, h);
}

TEST_F(Http, FileSinkHashesExactlyWhatWasWritten) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", sha256_of(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha256_of("abc"));

  wchar_t dir[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"bsk", 0, path);
  BCRYPT_ALG_HANDLE alg;
  FileTarget t = {};
  ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  ASSERT_EQ(0, BCryptCreateHash(alg, &t.hash, nullptr, 0, nullptr, 0, 0));
  t.file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, t.file);
  std::string url = std::string(kHttps) + "/_fixed/bytes/3000000";
  EXPECT_EQ(1, http_get(url.c_str(), file_sink, &t, 3000000, nullptr));
  CloseHandle(t.file);
  EXPECT_EQ(sha256_of(pattern(3000000)), finish(alg, t.hash));

  // A handle that cannot write: the first chunk is refused and the hash
  // never sees it.
  ASSERT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  ASSERT_EQ(0, BCryptCreateHash(alg, &t.hash, nullptr, 0, nullptr, 0, 0));
  t.file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(0, http_get(url.c_str(), file_sink, &t, 3000000, nullptr));
  CloseHandle(t.file);
  EXPECT_EQ(sha256_of(""), finish(alg, t.hash));
  DeleteFileW(path);
}

TEST_F(Http, AcceptHeaderAndUserAgentAsSent) {
  MemBuffer b = {};
  std::string url = std::string(kHttps) + "/_fixed/headers";
  ASSERT_EQ(1, http_get(url.c_str(), mem_sink, &b, 0, L"application/vnd.github+json"));
  std::string seen(b.data, b.len);
  mem_free(&b);
  EXPECT_NE(std::string::npos, seen.find("application/vnd.github+json")) << seen;
  EXPECT_NE(std::string::npos, seen.find("BrisquelBuilder-Setup/1.0")) << seen;
  ASSERT_EQ(1, http_get(url.c_str(), mem_sink, &b, 0, L"application/octet-stream"));
  seen.assign(b.data, b.len);
  mem_free(&b);
  EXPECT_NE(std::string::npos, seen.find("application/octet-stream")) << seen;
  EXPECT_EQ(std::string::npos, seen.find("vnd.github")) << seen;
}

TEST_F(Http, RedirectsFollowedButNeverDownToPlainHttp) {
  std::string to_https = std::string(kHttps) + "/_fixed/redirect?to=" + kHttps + "/_fixed/bytes/10";
  EXPECT_EQ(pattern(10), get_text(to_https));
  control("clear");
  std::string to_http = std::string(kHttps) + "/_fixed/redirect?to=" + kHttp + "/_fixed/bytes/10";
  Recorder r;
  EXPECT_EQ(0, http_get(to_http.c_str(), recording_sink, &r, 0, nullptr));
  EXPECT_TRUE(r.chunks.empty());
  EXPECT_EQ(std::string::npos, control("log?format=lines").find(" GET /_fixed/bytes/10"))
      << "the plain-http target was requested";
}

TEST_F(Http, ApiAssetLinkThroughTheReleaseJson) {
  control("release?tag=1.4.2&latest=0&asset=brisquel-setup.txt&text=list-1.4.2");
  control("release?tag=1.4.2&latest=0&asset=core.zip&text=zip");
  control("release?tag=1.5.0&asset=brisquel-setup.txt&text=list-1.5.0");
  char link[1024];
  const std::string base = std::string(kHttps) + "/tamrock/brisquel/releases/";
  const struct {
    std::string link;
    const char* body;
  } cases[] = {
      {base + "latest/download/brisquel-setup.txt", "list-1.5.0"},
      {base + "download/1.4.2/brisquel-setup.txt", "list-1.4.2"},
      {base + "download/1.4.2/core.zip", "zip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    ASSERT_EQ(1, api_link_for(c.link.c_str(), link));
    EXPECT_EQ(0, strncmp(link, "https://localhost:47443/api/", 28)) << link;
    MemBuffer b = {};
    ASSERT_EQ(1, http_get(link, mem_sink, &b, 0, L"application/octet-stream"));
    EXPECT_EQ(c.body, std::string(b.data, b.len));
    mem_free(&b);
  }
  g_http_status = 0;
  EXPECT_EQ(0, api_link_for((base + "download/9.9.9/brisquel-setup.txt").c_str(), link));
  EXPECT_EQ(404u, g_http_status);
  EXPECT_EQ(0, api_link_for((base + "download/1.4.2/missing.zip").c_str(), link));

  size_t before = requests_logged();
  g_http_status = 5;
  EXPECT_EQ(0, api_link_for("https://example.com/tamrock/brisquel/releases/latest/download/x", link));
  EXPECT_EQ(5u, g_http_status);
  EXPECT_EQ(before, requests_logged());
}

}  // namespace
