// brisquel-release publish: puts a release on GitHub only after check has
// accepted it, reads every asset back before the release becomes public,
// and never changes a release that users may already have installed.
// Native build only (libcurl and jansson).
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "base/bounds.h"
#include "commands.h"
#include "file_digest.h"
#include "file_io.h"
#include "github_api.h"
#include "http_client.h"
#include "release_url.h"
#include "setuplist/setup_list.h"

const char kPublishHelp[] =
    "Usage: brisquel-release publish --repo OWNER/REPO --tag TAG --dir DIR [--exe FILE]\n"
    "                                [--title TEXT] [--notes FILE] [--api-base URL] [--host-base URL]\n"
    "                                [--key PUBKEY]...\n"
    "\n"
    "Publishes DIR/brisquel-setup.txt and the zips it names as the GitHub release\n"
    "TAG of OWNER/REPO, in one step that can be run again after any failure.\n"
    "\n"
    "First, without sending anything, it refuses unless check --dir DIR accepts\n"
    "the release, the list's tag is TAG and every part's url is a download link\n"
    "of the release TAG of OWNER/REPO on the host base. Then it uses the draft of\n"
    "TAG that an interrupted run left, or creates one; uploads the list, the zips\n"
    "(under the file names of their urls) and, with --exe, FILE as\n"
    "BrisquelBuilder.exe; keeps assets already there with the same content,\n"
    "replaces differing ones and deletes any other; reads every asset back and\n"
    "compares its SHA-256; and only then publishes the release as the latest and\n"
    "reads releases/latest/download/brisquel-setup.txt back from the host.\n"
    "\n"
    "A release of TAG that is already published is never changed: publish a new\n"
    "tag instead (a release published with exactly these files, by a run cut off\n"
    "before its last check, only gets that check). The token comes from\n"
    "GITHUB_TOKEN, else GH_TOKEN, and is never shown. CURL_CA_BUNDLE, else\n"
    "SSL_CERT_FILE, names a CA file to trust instead of the system's.\n"
    "\n"
    "  --title TEXT      the release's title (default TAG)\n"
    "  --notes FILE      the release's notes, from a file\n"
    "  --api-base URL    default https://api.github.com/\n"
    "  --host-base URL   default https://github.com/\n"
    "  --key PUBKEY      a public key the setup is built with (as pubkey prints it),\n"
    "                    repeatable: the list's signature must verify with one of\n"
    "                    them, as check --key requires\n"
    "\n"
    "Exit status: 0 published and checked; 1 refused or failed (the release is\n"
    "then at most a draft; run the same command again); 2 usage errors.\n"
    "\n"
    "Example:\n"
    "  GITHUB_TOKEN=... brisquel-release publish --repo tamrock/brisquel --tag v1.4.2 \\\n"
    "    --dir dist --exe build/release/BrisquelBuilder.exe --title \"Brisquel Builder 1.4.2\"\n";

// The options, one row each. New ones go here and nowhere else.
enum { OPT_REPO, OPT_TAG, OPT_DIR, OPT_EXE, OPT_TITLE, OPT_NOTES, OPT_API, OPT_HOST, OPT_COUNT };
struct Option {
  const char* name;
  int required;
  const char* fallback;
};
static const Option kOptions[OPT_COUNT] = {
    {"--repo", 1, NULL},  {"--tag", 1, NULL},   {"--dir", 1, NULL},
    {"--exe", 0, NULL},   {"--title", 0, NULL}, {"--notes", 0, NULL},
    {"--api-base", 0, "https://api.github.com/"},
    {"--host-base", 0, "https://github.com/"},
};

#define LIST_NAME "brisquel-setup.txt"
#define EXE_NAME "BrisquelBuilder.exe"
#define WANTED_MAX (MAX_PARTS + 2)
#define ASSETS_MAX 64
#define HOST_WAIT_SECONDS 60
#define KEYS_MAX 8

struct Wanted {
  char name[256];
  char path[4096];
  char sha256[65];
  uint64_t size;
  int present;   // on the draft with this content
};

struct Publish {
  const char* opt[OPT_COUNT];
  const char* keys[KEYS_MAX];  // handed to check, which judges the signature
  int key_count;
  char api[1024];
  char host[1024];
  char* list_text;
  size_t list_len;
  Wanted wanted[WANTED_MAX];
  uint32_t wanted_count;
  int patched;    // the publishing PATCH went out (its answer may be lost)
  char* notes;
};

static int usage(const char* text) {
  fprintf(stderr, "brisquel-release publish: %s\nSee: brisquel-release publish --help\n", text);
  return EXIT_USAGE;
}

static int refuse(const char* text) {
  fflush(stdout);
  fprintf(stderr, "publish: refused: %s; nothing was sent to GitHub\n", text);
  return EXIT_REFUSED;
}

static int with_slash(const char* in, char* out, size_t cap) {
  size_t n = strlen(in);
  return fmt_cut(out, cap, "%s%s", in, n && in[n - 1] == '/' ? "" : "/");
}

// The checks that need no network: check --dir, the tag, the addresses.
static int check_release(Publish* p) {
  const char* dir = p->opt[OPT_DIR];
  static char list_path[4096];
  char text[2048];
  if (!FMT_CUT(list_path, "%s/%s", dir, LIST_NAME)) return refuse("the folder path is too long");
  char* args[3 + 2 * KEYS_MAX] = {list_path, (char*)"--dir", (char*)dir};
  int argc = 3;
  for (int k = 0; k < p->key_count; k++) {
    args[argc++] = (char*)"--key";
    args[argc++] = (char*)p->keys[k];
  }
  if (check_command(argc, args) != EXIT_GOOD)
    return refuse("check does not accept the release (see above)");
  if (read_whole_file(list_path, 16u << 20, &p->list_text, &p->list_len) != READ_OK)
    return refuse("the list cannot be read again");
  static SetupList list;
  char* copy = (char*)malloc(p->list_len + 1);
  if (!copy) return refuse("out of memory");
  memcpy(copy, p->list_text, p->list_len + 1);
  parse_setup_list(copy, &list);
  free(copy);
  if (strcmp(list.tag, p->opt[OPT_TAG]) != 0) {
    FMT_CUT(text, "the list's tag is %s, not %s", list.tag, p->opt[OPT_TAG]);
    return refuse(text);
  }
  char prefix[2048];
  if (!FMT_CUT(prefix, "%s%s/releases/download/%s/", p->host, p->opt[OPT_REPO], list.tag))
    return refuse("the release's address is too long");
  Wanted* w = p->wanted;
  COPY_CUT(w->name, LIST_NAME);
  COPY_CUT(w->path, list_path);
  if (!hash_file(w->path, w->sha256, &w->size)) return refuse("the list cannot be read again");
  p->wanted_count = 1;
  for (uint32_t i = 0; i < list.part_count; i++) {
    const PartEntry* part = &list.parts[i];
    const char* name = url_file_name(part->url);
    if (strncmp(part->url, prefix, strlen(prefix)) != 0 || name != part->url + strlen(prefix)) {
      FMT_CUT(text, "part %" PRIu32 ": the url %s is not in the release %s of %s on %s (%s...)",
              i + 1, part->url, list.tag, p->opt[OPT_REPO], p->host, prefix);
      return refuse(text);
    }
    if (asset_names_clash(name, LIST_NAME) || asset_names_clash(name, EXE_NAME)) {
      FMT_CUT(text, "part %" PRIu32 ": the zip's name %s is the name of the list or the setup",
              i + 1, name);
      return refuse(text);
    }
    w = &p->wanted[p->wanted_count++];
    COPY_CUT(w->name, name);
    FMT_CUT(w->path, "%s/%s", dir, name);
    COPY_CUT(w->sha256, part->sha256);
    w->size = part->size;
  }
  if (p->opt[OPT_EXE]) {
    w = &p->wanted[p->wanted_count++];
    COPY_CUT(w->name, EXE_NAME);
    COPY_CUT(w->path, p->opt[OPT_EXE]);
    if (!hash_file(w->path, w->sha256, &w->size)) {
      FMT_CUT(text, "%s cannot be read", p->opt[OPT_EXE]);
      return refuse(text);
    }
  }
  return EXIT_GOOD;
}

static Wanted* wanted_named(Publish* p, const char* name) {
  for (uint32_t i = 0; i < p->wanted_count; i++)
    if (strcmp(p->wanted[i].name, name) == 0) return &p->wanted[i];
  return NULL;
}

enum { ROUND_DONE, ROUND_FAILED, ROUND_AGAIN };

static void stopped(const char* step, const char* name) {
  fflush(stdout);
  fprintf(stderr, "publish: stopped while %s%s%s; the release is at most a draft, and the same "
                  "command run again goes on from there\n", step, name ? " " : "", name ? name : "");
}

// A write that failed: for good (worded, and the run ends), or for now (the
// round starts again).
static int write_failed(GhResult r, const char* step, const char* name) {
  if (r == GH_AGAIN) return ROUND_AGAIN;
  stopped(step, name);
  return ROUND_FAILED;
}

// The host must serve the new list as the latest one, byte for byte.
static int host_check(Publish* p) {
  char url[2048];
  FMT_CUT(url, "%s%s/releases/latest/download/%s", p->host, p->opt[OPT_REPO], LIST_NAME);
  HttpCall c;
  memset(&c, 0, sizeof c);
  c.method = "GET";
  c.url = url;
  HttpAnswer a = {};
  time_t end = time(NULL) + HOST_WAIT_SECONDS;
  for (;;) {
    http_call(&c, &a);
    if (a.signs.status == 200 && a.len == p->list_len && memcmp(a.body, p->list_text, a.len) == 0) {
      http_answer_free(&a);
      printf("%s serves the new list: published and checked\n", url);
      return ROUND_DONE;
    }
    if (time(NULL) >= end) break;
    http_answer_free(&a);
    sleep(5);  // the host's links can lag right after a release
  }
  fflush(stdout);
  if (a.signs.status == 200)
    fprintf(stderr, "publish: after a minute %s still serves another list (%zu bytes, "
                    "beginning \"%.60s\"); the release stays as it is\n", url, a.len, a.body);
  else if (a.signs.status)
    fprintf(stderr, "publish: after a minute %s still answers %ld; the release stays as it is\n",
            url, a.signs.status);
  else
    fprintf(stderr, "publish: after a minute no answer from %s (%s); the release stays as it is\n",
            url, a.error);
  http_answer_free(&a);
  return ROUND_FAILED;
}

// Every wanted asset on the draft, state uploaded, with the right digest,
// and nothing else.
static int verify(Publish* p, const GhRelease* rel) {
  static GhAsset assets[ASSETS_MAX];
  size_t n = 0;
  if (gh_list_assets(rel, assets, ASSETS_MAX, &n) != GH_OK) return stopped("reading the assets", 0), ROUND_FAILED;
  for (uint32_t i = 0; i < p->wanted_count; i++) {
    const Wanted* w = &p->wanted[i];
    const GhAsset* a = NULL;
    for (size_t k = 0; k < n && !a; k++)
      if (strcmp(assets[k].name, w->name) == 0) a = &assets[k];
    char hex[65];
    uint64_t size = 0;
    if (!a || !a->uploaded) {
      fprintf(stderr, "publish: %s is not on the draft after its upload\n", w->name);
      return stopped("verifying", w->name), ROUND_FAILED;
    }
    if (gh_asset_digest(a, hex, &size) != GH_OK) return stopped("reading back", w->name), ROUND_FAILED;
    if (size != w->size || strcmp(hex, w->sha256) != 0) {
      fflush(stdout);
      fprintf(stderr, "publish: %s: GitHub serves %" PRIu64 " bytes with SHA-256 %s, but it must "
                      "be %" PRIu64 " bytes with SHA-256 %s\n", w->name, size, hex, w->size,
              w->sha256);
      return stopped("verifying", w->name), ROUND_FAILED;
    }
    printf("verified %s\n", w->name);
  }
  for (size_t k = 0; k < n; k++) {
    if (wanted_named(p, assets[k].name)) continue;
    fprintf(stderr, "publish: the draft also holds %s, which the release must not\n", assets[k].name);
    return stopped("verifying", assets[k].name), ROUND_FAILED;
  }
  return ROUND_DONE;
}

// Nonzero when the published release holds exactly the wanted files: the
// run that published it was cut off before its last check. Reads only.
static int published_as_wanted(Publish* p, const GhRelease* rel) {
  static GhAsset assets[ASSETS_MAX];
  size_t n = 0;
  if (gh_list_assets(rel, assets, ASSETS_MAX, &n) != GH_OK || n != p->wanted_count) return 0;
  for (size_t k = 0; k < n; k++) {
    const Wanted* w = wanted_named(p, assets[k].name);
    char hex[65];
    uint64_t size;
    if (!w || !assets[k].uploaded || assets[k].size != w->size ||
        gh_asset_digest(&assets[k], hex, &size) != GH_OK || strcmp(hex, w->sha256) != 0)
      return 0;
  }
  printf("%s is published already with exactly these files; checking what the host serves\n",
         p->opt[OPT_TAG]);
  return 1;
}

static int one_round(Publish* p, unsigned attempt) {
  const char* repo = p->opt[OPT_REPO];
  const char* tag = p->opt[OPT_TAG];
  const char* title = p->opt[OPT_TITLE] ? p->opt[OPT_TITLE] : tag;
  const char* notes = p->notes;
  GhRelease rel;
  if (gh_find_release(p->api, repo, tag, &rel) != GH_OK)
    return stopped("looking for the release", tag), ROUND_FAILED;
  if (rel.found && !rel.draft) {
    // Our own publishing, its answer lost or the run cut off after it.
    if (p->patched || published_as_wanted(p, &rel)) return host_check(p);
    fflush(stdout);
    fprintf(stderr, "publish: refused: the release %s of %s is already published. Published "
                    "releases are never changed (users may have installed it already): make a "
                    "new tag and a new list for it. Nothing was changed on GitHub.\n", tag, repo);
    return ROUND_FAILED;
  }
  static GhAsset assets[ASSETS_MAX];
  size_t n = 0;
  for (uint32_t i = 0; i < p->wanted_count; i++) p->wanted[i].present = 0;
  if (!rel.found) {
    GhResult r = gh_create_draft(p->api, repo, tag, title, notes, &rel);
    if (r != GH_OK) return write_failed(r, "creating the draft of", tag);
    printf("created the draft release %s (id %lld)\n", tag, rel.id);
  } else {
    printf("going on with the draft release %s (id %lld)\n", tag, rel.id);
    if (gh_list_assets(&rel, assets, ASSETS_MAX, &n) != GH_OK)
      return stopped("reading the assets of", tag), ROUND_FAILED;
  }
  for (size_t k = 0; k < n; k++) {
    GhAsset* a = &assets[k];
    Wanted* w = wanted_named(p, a->name);
    if (w && a->uploaded && a->size == w->size && !w->present) {
      char hex[65];
      uint64_t size;
      if (gh_asset_digest(a, hex, &size) != GH_OK) return stopped("reading back", a->name), ROUND_FAILED;
      if (size == w->size && strcmp(hex, w->sha256) == 0) {
        printf("kept %s: already on the draft with the same SHA-256\n", a->name);
        w->present = 1;
        continue;
      }
    }
    // Another file, a cut upload ("starter") or a stray: its name must be
    // free before the right file can take it.
    if (gh_delete_asset(a) != GH_OK) return stopped("deleting", a->name), ROUND_FAILED;
    printf("deleted %s from the draft (%s)\n", a->name,
           !w ? "not part of the release" : !a->uploaded ? "an upload cut off" : "other content");
  }
  for (uint32_t i = 0; i < p->wanted_count; i++) {
    Wanted* w = &p->wanted[i];
    if (w->present) continue;
    GhResult r = gh_upload_asset(&rel, w->name, w->path, attempt);
    if (r != GH_OK) return write_failed(r, "uploading", w->name);
    w->present = 1;
  }
  int v = verify(p, &rel);
  if (v != ROUND_DONE) return v;
  p->patched = 1;
  GhResult r = gh_publish(&rel, tag, title, notes, attempt);
  if (r != GH_OK) return write_failed(r, "publishing", tag);
  printf("published %s as the latest release of %s\n", tag, repo);
  return host_check(p);
}

int publish_command(int argc, char** argv) {
  static Publish p;
  for (int i = 0; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
      return fputs(kPublishHelp, stdout), EXIT_GOOD;
    if (strcmp(argv[i], "--key") == 0) {
      if (i + 1 >= argc || p.key_count == KEYS_MAX)
        return usage("--key takes one value, at most 8 times");
      p.keys[p.key_count++] = argv[++i];
      continue;
    }
    int k = 0;
    while (k < OPT_COUNT && strcmp(argv[i], kOptions[k].name) != 0) k++;
    char text[512];
    if (k == OPT_COUNT) return FMT_CUT(text, "unknown argument %s", argv[i]), usage(text);
    if (i + 1 >= argc || p.opt[k]) return FMT_CUT(text, "%s takes one value", argv[i]), usage(text);
    p.opt[k] = argv[++i];
  }
  for (int k = 0; k < OPT_COUNT; k++) {
    if (!p.opt[k] && kOptions[k].required) {
      char text[128];
      FMT_CUT(text, "missing %s", kOptions[k].name);
      return usage(text);
    }
    if (!p.opt[k]) p.opt[k] = kOptions[k].fallback;
  }
  const char* repo = p.opt[OPT_REPO];
  const char* slash = strchr(repo, '/');
  // It goes into every address as it stands.
  if (!slash || slash == repo || !slash[1] || strchr(slash + 1, '/') ||
      strspn(repo, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._/") !=
          strlen(repo))
    return usage("--repo takes OWNER/REPO");
  if (!with_slash(p.opt[OPT_API], p.api, sizeof p.api) ||
      !with_slash(p.opt[OPT_HOST], p.host, sizeof p.host))
    return usage("--api-base or --host-base is too long");

  int rc = check_release(&p);
  if (rc != EXIT_GOOD) return rc;
  size_t notes_len;
  if (p.opt[OPT_NOTES] &&
      read_whole_file(p.opt[OPT_NOTES], 1u << 20, &p.notes, &notes_len) != READ_OK) {
    char text[4200];
    FMT_CUT(text, "the notes %s cannot be read", p.opt[OPT_NOTES]);
    return refuse(text);
  }
  const char* token = getenv("GITHUB_TOKEN");
  if (!token || !token[0]) token = getenv("GH_TOKEN");
  if (!token || !token[0])
    return refuse("no token: set GITHUB_TOKEN (or GH_TOKEN) to a token that may write releases");
  // It becomes a header line: a line break in it would add headers of its own.
  for (const char* t = token; *t; t++)
    if (*t <= ' ' || *t == 0x7f) return refuse("the token holds a space or a control character");
  if (!http_start(token)) {
    http_stop();
    fprintf(stderr, "publish: libcurl cannot start\n");
    return EXIT_REFUSED;
  }
  int result = ROUND_AGAIN;
  for (unsigned attempt = 1; result == ROUND_AGAIN; attempt++) {
    result = one_round(&p, attempt);
    if (result != ROUND_AGAIN) break;
    if (attempt >= RETRY_ATTEMPTS) {
      fprintf(stderr, "publish: GitHub kept failing; giving up after %u rounds\n", attempt);
      result = ROUND_FAILED;
      break;
    }
    fflush(stdout);
    fprintf(stderr, "publish: starting again from the release's state in %ld s\n", g_gh_wait);
    sleep((unsigned)g_gh_wait);
  }
  http_stop();
  free(p.list_text);
  free(p.notes);
  return result == ROUND_DONE ? EXIT_GOOD : EXIT_REFUSED;
}
