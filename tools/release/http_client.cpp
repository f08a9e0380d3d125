#include "http_client.h"

#include <curl/curl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/bounds.h"
#include "file_io.h"

// Bodies that publish reads into memory are JSON and the setup list; the
// assets themselves are only ever hashed.
#define ANSWER_MAX (32u << 20)

static CURL* g_curl;
static char g_auth[1024];
static char g_ca[4096];

int http_start(const char* token) {
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 0;
  g_curl = curl_easy_init();
  if (!g_curl) return 0;
  g_auth[0] = 0;
  if (token && !FMT_CUT(g_auth, "Authorization: Bearer %s", token)) return 0;
  // Debian's libcurl reads neither variable by itself.
  const char* ca = getenv("CURL_CA_BUNDLE");
  if (!ca || !ca[0]) ca = getenv("SSL_CERT_FILE");
  g_ca[0] = 0;
  if (ca && ca[0] && !COPY_CUT(g_ca, ca)) return 0;
  return 1;
}

void http_stop() {
  if (g_curl) curl_easy_cleanup(g_curl);
  g_curl = NULL;
  // The credential leaves memory with the run.
  memset(g_auth, 0, sizeof g_auth);
  curl_global_cleanup();
}

struct Sink {
  const HttpCall* call;
  HttpAnswer* out;
  size_t cap;
  int too_big;
};

static size_t on_body(char* data, size_t size, size_t n, void* ctx) {
  Sink* s = (Sink*)ctx;
  size_t len = size * n;
  if (s->call->hash) {
    sha256_update(s->call->hash, data, len);
    *s->call->hashed += len;
    return len;
  }
  if (len > ANSWER_MAX - s->out->len) {
    s->too_big = 1;
    return 0;
  }
  while (s->out->len + len + 1 > s->cap) {
    size_t want = s->cap ? s->cap * 2 : 16384;
    char* grown = (char*)realloc(s->out->body, want);
    if (!grown) return 0;
    s->out->body = grown;
    s->cap = want;
  }
  memcpy(s->out->body + s->out->len, data, len);
  s->out->len += len;
  s->out->body[s->out->len] = 0;
  return len;
}

// Header values are read per answer; after a redirect the last answer's count.
static size_t on_header(char* data, size_t size, size_t n, void* ctx) {
  AnswerSigns* a = &((Sink*)ctx)->out->signs;
  size_t len = size * n;
  char line[256];
  size_t k = len < sizeof line - 1 ? len : sizeof line - 1;
  memcpy(line, data, k);
  line[k] = 0;
  if (strncmp(line, "HTTP/", 5) == 0) {
    a->retry_after = -1;
    a->rate_exhausted = 0;
    a->rate_reset = 0;
  }
  char* colon = strchr(line, ':');
  if (!colon) return len;
  *colon = 0;
  long long v = strtoll(colon + 1, NULL, 10);
  if (strcasecmp(line, "retry-after") == 0) a->retry_after = v < 0 ? 0 : (long)v;
  else if (strcasecmp(line, "x-ratelimit-remaining") == 0) a->rate_exhausted = v == 0;
  else if (strcasecmp(line, "x-ratelimit-reset") == 0) a->rate_reset = v;
  return len;
}

static int on_progress(void* ctx, curl_off_t, curl_off_t, curl_off_t total, curl_off_t now) {
  const HttpCall* c = ((Sink*)ctx)->call;
  static curl_off_t shown = -1;
  if (!c->progress_name || now == shown || !isatty(2)) return 0;
  if (now != total && shown >= 0 && now - shown < (1 << 20)) return 0;
  shown = now == total ? -1 : now;
  fprintf(stderr, "\r  uploading %s: %lld of %lld bytes", c->progress_name, (long long)now,
          (long long)(total ? total : (curl_off_t)c->upload_size));
  if (now == total && total) fputs("\n", stderr);
  return 0;
}

static size_t on_read(char* to, size_t size, size_t n, void* ctx) {
  FILE* f = ((Sink*)ctx)->call->upload;
  size_t got = fread(to, 1, size * n, f);
  return got < size * n && ferror(f) ? CURL_READFUNC_ABORT : got;
}

// libcurl sends a body again when a kept-alive connection turns out dead.
static int on_seek(void* ctx, curl_off_t offset, int origin) {
  FILE* f = ((Sink*)ctx)->call->upload;
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  return seek_file(f, (uint64_t)offset) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

int http_call(const HttpCall* call, HttpAnswer* out) {
  memset(out, 0, sizeof *out);
  out->signs.retry_after = -1;
  Sink sink = {call, out, 0, 0};
  CURL* h = g_curl;
  curl_easy_reset(h);
  struct curl_slist* headers = NULL;
  char accept[256];
  if (call->accept && FMT_CUT(accept, "Accept: %s", call->accept))
    headers = curl_slist_append(headers, accept);
  if (call->with_token && g_auth[0]) headers = curl_slist_append(headers, g_auth);
  headers = curl_slist_append(headers, "X-GitHub-Api-Version: 2022-11-28");
  headers = curl_slist_append(headers, "Expect:");
  if (call->json) headers = curl_slist_append(headers, "Content-Type: application/json");
  if (call->upload) headers = curl_slist_append(headers, "Content-Type: application/octet-stream");

  curl_easy_setopt(h, CURLOPT_URL, call->url);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  // GitHub refuses requests without one.
  curl_easy_setopt(h, CURLOPT_USERAGENT, "brisquel-release/1.0");
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (g_ca[0]) curl_easy_setopt(h, CURLOPT_CAINFO, g_ca);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, out->error);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
  // A connection that moves nothing for a minute is taken for gone.
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
  if (strcmp(call->method, "GET") == 0) {
    // Asset bytes come from a storage host after a redirect; libcurl keeps
    // the Authorization header to the host it was meant for.
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, call->method);
    // libcurl sends a request once more by itself when a kept-alive
    // connection dies under it; a write sent twice can make a second draft
    // or find its asset name taken. Writes get a connection of their own,
    // and only a new round, which first reads what happened, repeats them.
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  }
  if (call->json) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, call->json);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)strlen(call->json));
  } else if (call->upload) {
    if (!seek_file(call->upload, 0)) {
      COPY_CUT(out->error, "cannot go back to the start of the file");
      curl_slist_free_all(headers);
      return 0;
    }
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(h, CURLOPT_READDATA, &sink);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, on_seek);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &sink);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)call->upload_size);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
  }
  CURLcode rc = curl_easy_perform(h);
  curl_slist_free_all(headers);
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) {
    // A cut transfer says nothing about the request's fate but that it
    // must be looked at again: no status, whatever arrived before.
    if (sink.too_big) FMT_CUT(out->error, "the answer is larger than %u bytes", ANSWER_MAX);
    else if (!out->error[0]) COPY_CUT(out->error, curl_easy_strerror(rc));
    out->signs.status = 0;
    return 0;
  }
  out->signs.status = status;
  if (!out->body && !call->hash) {
    out->body = (char*)calloc(1, 1);
    if (!out->body) return 0;
  }
  return 1;
}

void http_answer_free(HttpAnswer* a) {
  free(a->body);
  a->body = NULL;
  a->len = 0;
}
