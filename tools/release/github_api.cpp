#include "github_api.h"

#include <errno.h>
#include <inttypes.h>
#include <jansson.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/bounds.h"
#include "file_io.h"
#include "http_client.h"

long g_gh_wait;

static const char kJson[] = "application/vnd.github+json";

// A call to the API, with the token.
static HttpCall api_call(const char* method, const char* url, const char* json = NULL) {
  HttpCall c;
  memset(&c, 0, sizeof c);
  c.method = method;
  c.url = url;
  c.accept = kJson;
  c.with_token = 1;
  c.json = json;
  return c;
}

// Everything but unreserved bytes percent-encoded: tags and names may hold
// a '+', which a query would read as a space.
static int url_escape(const char* in, char* out, size_t cap) {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const unsigned char* p = (const unsigned char*)in; *p; p++) {
    int plain = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') ||
                (*p >= '0' && *p <= '9') || *p == '-' || *p == '.' || *p == '_' || *p == '~';
    if (n + (plain ? 1 : 3) >= cap) return 0;
    if (plain) {
      out[n++] = (char)*p;
    } else {
      out[n++] = '%';
      out[n++] = hex[*p >> 4];
      out[n++] = hex[*p & 15];
    }
  }
  out[n] = 0;
  return 1;
}

// GitHub's own words from an error answer: its message and the codes of
// its errors array ("Validation Failed (already_exists)").
static void github_words(const HttpAnswer* a, char* out, size_t cap) {
  json_error_t err;
  json_t* doc = a->body ? json_loadb(a->body, a->len, 0, &err) : NULL;
  const char* msg = json_string_value(json_object_get(doc, "message"));
  fmt_cut(out, cap, "%s", msg ? msg : "(no message)");
  json_t* errors = json_object_get(doc, "errors");
  for (size_t i = 0; i < json_array_size(errors) && i < 4; i++) {
    json_t* e = json_array_get(errors, i);
    const char* code = json_string_value(json_object_get(e, "code"));
    const char* what = json_string_value(json_object_get(e, "message"));
    size_t used = strlen(out);
    fmt_cut(out + used, cap - used, " (%s)", what ? what : code ? code : "?");
  }
  json_decref(doc);
}

static void say_failure(const HttpCall* c, const HttpAnswer* a, const char* why) {
  fflush(stdout);
  if (!a->signs.status) {
    fprintf(stderr, "publish: no answer to %s %s: %s%s\n", c->method, c->url, a->error, why);
    return;
  }
  char words[1024];
  github_words(a, words, sizeof words);
  fprintf(stderr, "publish: GitHub answered %ld to %s %s: %s%s\n", a->signs.status, c->method,
          c->url, words, why);
}

static const char* too_long(long wait) {
  static char text[128];
  text[0] = 0;
  if (wait > RETRY_WAIT_MAX)
    FMT_CUT(text, "; GitHub asks to wait %ld s, longer than the tool waits (%d s)", wait,
            RETRY_WAIT_MAX);
  return text;
}

static void sleep_for(long seconds) {
  fflush(stdout);
  fprintf(stderr, "publish: trying again in %ld s\n", seconds);
  sleep((unsigned)seconds);
}

// One call, retried while GitHub's answers are passing ones. For reads and
// deletes, which may be repeated without harm. The answer is the last one.
static int send_retried(const HttpCall* c, HttpAnswer* a, long want, long also) {
  for (unsigned attempt = 1;; attempt++) {
    if (c->hash) {
      sha256_init(c->hash);
      *c->hashed = 0;
    }
    http_call(c, a);
    if (a->signs.status == want || (also && a->signs.status == also)) return 1;
    long wait = retry_wait(&a->signs, (int64_t)time(NULL), attempt);
    if (wait < 0 || wait > RETRY_WAIT_MAX) {
      say_failure(c, a, too_long(wait));
      return 0;
    }
    say_failure(c, a, "");
    http_answer_free(a);
    sleep_for(wait);
  }
}

// One attempt of a write. A passing trouble makes the round start again,
// from reading the release: the write may have happened all the same.
static GhResult send_once(const HttpCall* c, HttpAnswer* a, long want, unsigned attempt) {
  http_call(c, a);
  if (a->signs.status == want) return GH_OK;
  long wait = retry_wait(&a->signs, (int64_t)time(NULL), attempt);
  int again = wait >= 0 && wait <= RETRY_WAIT_MAX;
  say_failure(c, a, too_long(wait));
  g_gh_wait = wait;
  return again ? GH_AGAIN : GH_FAILED;
}

static int copy_member(json_t* obj, const char* key, char* out, size_t cap) {
  const char* v = json_string_value(json_object_get(obj, key));
  return v && copy_cut(out, cap, v) == strlen(v);
}

static int read_release(json_t* r, GhRelease* out) {
  memset(out, 0, sizeof *out);
  json_t* id = json_object_get(r, "id");
  if (!json_is_integer(id) || !copy_member(r, "url", out->url, sizeof out->url) ||
      !copy_member(r, "assets_url", out->assets_url, sizeof out->assets_url) ||
      !copy_member(r, "upload_url", out->upload_url, sizeof out->upload_url))
    return 0;
  char* brace = strchr(out->upload_url, '{');
  if (brace) *brace = 0;
  out->id = json_integer_value(id);
  out->draft = json_is_true(json_object_get(r, "draft"));
  out->found = 1;
  return 1;
}

static int read_asset(json_t* a, GhAsset* out) {
  memset(out, 0, sizeof *out);
  json_t* id = json_object_get(a, "id");
  json_t* size = json_object_get(a, "size");
  const char* state = json_string_value(json_object_get(a, "state"));
  if (!json_is_integer(id) || !json_is_integer(size) || json_integer_value(size) < 0 ||
      !copy_member(a, "name", out->name, sizeof out->name) ||
      !copy_member(a, "url", out->url, sizeof out->url))
    return 0;
  out->id = json_integer_value(id);
  out->size = (uint64_t)json_integer_value(size);
  out->uploaded = state && strcmp(state, "uploaded") == 0;
  return 1;
}

static json_t* parse_answer(const HttpCall* c, const HttpAnswer* a) {
  json_error_t err;
  json_t* doc = json_loadb(a->body, a->len, 0, &err);
  if (!doc) {
    fflush(stdout);
    fprintf(stderr, "publish: the answer to %s %s is no JSON: %s\n", c->method, c->url, err.text);
  }
  return doc;
}

static void say_unexpected(const HttpCall* c) {
  fflush(stdout);
  fprintf(stderr, "publish: the answer to %s %s lacks what a release or asset holds\n", c->method,
          c->url);
}

GhResult gh_find_release(const char* api_base, const char* repo, const char* tag, GhRelease* out) {
  memset(out, 0, sizeof *out);
  char esc[512], url[2048];
  if (!url_escape(tag, esc, sizeof esc) ||
      !FMT_CUT(url, "%srepos/%s/releases/tags/%s", api_base, repo, esc))
    return GH_FAILED;
  HttpCall c = api_call("GET", url);
  HttpAnswer a;
  if (!send_retried(&c, &a, 200, 404)) return http_answer_free(&a), GH_FAILED;
  GhResult result = GH_OK;
  if (a.signs.status == 200) {
    json_t* doc = parse_answer(&c, &a);
    if (!doc || !read_release(doc, out)) result = GH_FAILED;
    if (doc && !out->found) say_unexpected(&c);
    json_decref(doc);
    http_answer_free(&a);
    return result;
  }
  http_answer_free(&a);
  for (int page = 1; page <= 100; page++) {
    if (!FMT_CUT(url, "%srepos/%s/releases?per_page=100&page=%d", api_base, repo, page))
      return GH_FAILED;
    if (!send_retried(&c, &a, 200, 0)) return http_answer_free(&a), GH_FAILED;
    json_t* doc = parse_answer(&c, &a);
    http_answer_free(&a);
    if (!json_is_array(doc)) {
      if (doc) say_unexpected(&c);
      json_decref(doc);
      return GH_FAILED;
    }
    size_t n = json_array_size(doc);
    for (size_t i = 0; i < n; i++) {
      json_t* r = json_array_get(doc, i);
      const char* t = json_string_value(json_object_get(r, "tag_name"));
      if (!t || strcmp(t, tag) != 0) continue;
      GhRelease seen;
      if (!read_release(r, &seen)) {
        say_unexpected(&c);
        json_decref(doc);
        return GH_FAILED;
      }
      if (!seen.draft || !out->found) *out = seen;
      if (!seen.draft) break;
    }
    json_decref(doc);
    if (n < 100 || (out->found && !out->draft)) break;
  }
  return GH_OK;
}

static char* release_body(const char* tag, const char* title, const char* notes, int publish) {
  json_t* o = json_object();
  // json_string refuses text that is not UTF-8, and a member set to null
  // is refused in turn.
  int ok = json_object_set_new(o, "tag_name", json_string(tag)) == 0 &&
           json_object_set_new(o, "name", json_string(title)) == 0 &&
           json_object_set_new(o, "draft", json_boolean(!publish)) == 0 &&
           (!notes || json_object_set_new(o, "body", json_string(notes)) == 0) &&
           // A string, not a boolean: GitHub refuses true.
           (!publish || json_object_set_new(o, "make_latest", json_string("true")) == 0);
  char* text = ok ? json_dumps(o, JSON_COMPACT) : NULL;
  json_decref(o);
  if (!ok) fprintf(stderr, "publish: the title or the notes are not UTF-8 text\n");
  return text;
}

static GhResult release_answer(const HttpCall* c, HttpAnswer* a, GhRelease* out) {
  json_t* doc = parse_answer(c, a);
  GhResult r = doc && read_release(doc, out) ? GH_OK : GH_FAILED;
  if (doc && r != GH_OK) say_unexpected(c);
  json_decref(doc);
  return r;
}

GhResult gh_create_draft(const char* api_base, const char* repo, const char* tag,
                         const char* title, const char* notes, GhRelease* out) {
  char url[2048];
  if (!FMT_CUT(url, "%srepos/%s/releases", api_base, repo)) return GH_FAILED;
  char* body = release_body(tag, title, notes, 0);
  if (!body) return GH_FAILED;
  HttpCall c = api_call("POST", url, body);
  HttpAnswer a;
  GhResult r = send_once(&c, &a, 201, 1);
  if (r == GH_OK) r = release_answer(&c, &a, out);
  http_answer_free(&a);
  free(body);
  return r;
}

GhResult gh_list_assets(const GhRelease* rel, GhAsset* out, size_t cap, size_t* count) {
  *count = 0;
  char url[2048];
  if (!FMT_CUT(url, "%s?per_page=100", rel->assets_url)) return GH_FAILED;
  HttpCall c = api_call("GET", url);
  HttpAnswer a;
  if (!send_retried(&c, &a, 200, 0)) return http_answer_free(&a), GH_FAILED;
  json_t* doc = parse_answer(&c, &a);
  http_answer_free(&a);
  GhResult r = json_is_array(doc) ? GH_OK : GH_FAILED;
  if (json_array_size(doc) > cap) {
    fprintf(stderr, "publish: the draft holds %zu assets; the tool handles at most %zu\n",
            json_array_size(doc), cap);
    r = GH_FAILED;
  }
  for (size_t i = 0; r == GH_OK && i < json_array_size(doc); i++) {
    if (!read_asset(json_array_get(doc, i), &out[i])) r = GH_FAILED;
    *count = i + 1;
  }
  if (doc && r != GH_OK) say_unexpected(&c);
  json_decref(doc);
  return r;
}

GhResult gh_delete_asset(const GhAsset* asset) {
  HttpCall c = api_call("DELETE", asset->url);
  HttpAnswer a;
  // 404: a delete whose answer was lost, repeated.
  int ok = send_retried(&c, &a, 204, 404);
  http_answer_free(&a);
  return ok ? GH_OK : GH_FAILED;
}

GhResult gh_upload_asset(const GhRelease* rel, const char* name, const char* path,
                         unsigned attempt) {
  char esc[768], url[2048];
  if (!url_escape(name, esc, sizeof esc) || !FMT_CUT(url, "%s?name=%s", rel->upload_url, esc))
    return GH_FAILED;
  FILE* f = open_file(path, "rb");
  uint64_t size = 0;
  if (!f || !file_length(f, &size)) {
    fprintf(stderr, "publish: %s: %s\n", path, strerror(errno));
    if (f) fclose(f);
    return GH_FAILED;
  }
  HttpCall c = api_call("POST", url);
  c.upload = f;
  c.upload_size = size;
  c.progress_name = name;
  HttpAnswer a;
  GhResult r = send_once(&c, &a, 201, attempt);
  fclose(f);
  if (r == GH_OK) {
    json_t* doc = parse_answer(&c, &a);
    GhAsset got;
    if (!doc || !read_asset(doc, &got)) {
      if (doc) say_unexpected(&c);
      r = GH_FAILED;
    } else if (strcmp(got.name, name) != 0) {
      // GitHub renames names it does not like; the list's url would then
      // lead nowhere.
      fprintf(stderr, "publish: GitHub stored %s under the name %s\n", name, got.name);
      r = GH_FAILED;
    } else if (!isatty(2)) {
      fprintf(stderr, "  uploaded %s: %" PRIu64 " bytes\n", name, size);
    }
    json_decref(doc);
  }
  http_answer_free(&a);
  return r;
}

GhResult gh_asset_digest(const GhAsset* asset, char hex[65], uint64_t* size) {
  Sha256 h;
  HttpCall c = api_call("GET", asset->url);
  c.accept = "application/octet-stream";
  c.hash = &h;
  c.hashed = size;
  HttpAnswer a;
  int ok = send_retried(&c, &a, 200, 0);
  http_answer_free(&a);
  if (!ok) return GH_FAILED;
  uint8_t digest[32];
  sha256_final(&h, digest);
  sha256_hex(digest, hex);
  return GH_OK;
}

GhResult gh_publish(const GhRelease* rel, const char* tag, const char* title, const char* notes,
                    unsigned attempt) {
  // tag_name in every change of a draft: without it GitHub moves the draft
  // to an "untagged-..." tag.
  char* body = release_body(tag, title, notes, 1);
  if (!body) return GH_FAILED;
  HttpCall c = api_call("PATCH", rel->url, body);
  HttpAnswer a;
  GhResult r = send_once(&c, &a, 200, attempt);
  http_answer_free(&a);
  free(body);
  return r;
}
