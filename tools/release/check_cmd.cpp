// brisquel-release check: reads a setup list exactly as the setup does,
// shows the setup's verdict and the folders it gives the parts, and with
// --dir proves every part against its zip.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"
#include "commands.h"
#include "file_digest.h"
#include "file_io.h"
#include "install/messages.h"
#include "list_lines.h"
#include "list_sign.h"
#include "list_verdict.h"
#include "part_report.h"
#include "release_url.h"
#include "text_utf.h"
#include "unpack_plan.h"

const char kCheckHelp[] =
    "Usage: brisquel-release check LIST [--dir DIR] [--key PUBKEY]...\n"
    "\n"
    "Reads LIST (a brisquel-setup.txt) with the setup's own parser and check and\n"
    "prints the setup's verdict and message, the tag, the run path, and each part\n"
    "with the folder the setup files it under (own, tool or none).\n"
    "\n"
    "Also reported, as FILE:LINE, are lines the setup would ignore, drop or read\n"
    "otherwise than they are written (a keyword in capitals, a part line short of\n"
    "six fields, a 17th part, a field cut at its width, a second tag line), a\n"
    "rename name given without its partner, a part url that is a download link\n"
    "of another release, and two parts with one file name.\n"
    "\n"
    "  --dir DIR   the folder holding the release's zips: every part's size and\n"
    "              SHA-256 are checked against DIR/<file name of its url>, and the\n"
    "              zips are looked into as with make (entries tar can unpack,\n"
    "              renames that happen, a file at the run path)\n"
    "  --key PUBKEY  a public key the setup is built with (as pubkey prints it),\n"
    "              up to 8: the list's signature must verify with one of them,\n"
    "              as such a setup requires; without --key, whether the list is\n"
    "              signed is only reported\n"
    "\n"
    "Exit status: 0 when the setup accepts the list, no line is misread and every\n"
    "zip in DIR matches; 1 otherwise; 2 for usage errors or an unreadable LIST.\n"
    "\n"
    "Examples:\n"
    "  brisquel-release check brisquel-setup.txt\n"
    "  brisquel-release check dist/brisquel-setup.txt --dir dist\n"
    "  brisquel-release check brisquel-setup.txt --key \"$(brisquel-release pubkey first.pem)\"\n";

#define MAX_CHECK_KEYS 8

// The longest list worth reading: a full one is about 32 KiB.
#define LIST_FILE_MAX (16u * 1024 * 1024)

struct Report {
  const char* file;
  uint32_t problems;
};

static void problem(Report* r, uint32_t line, const char* text) {
  fflush(stdout);  // keep the report and the problems in order on one terminal
  if (line)
    fprintf(stderr, "%s:%" PRIu32 ": %s\n", r->file, line, text);
  else
    fprintf(stderr, "%s: %s\n", r->file, text);
  r->problems++;
}

static void line_note(void* ctx, uint32_t line, const char* text) {
  problem((Report*)ctx, line, text);
}

static void quiet_note(void*, uint32_t, const char*) {}

static uint32_t item_line(const ListLines* where, const ListFault* f) {
  switch (f->item) {
    case ITEM_TAG: return where->tag_line;
    case ITEM_RUN: return where->run_line;
    case ITEM_NONE:
    case ITEM_PARTS: return 0;
    default: return f->part < where->part_count ? where->part_line[f->part] : 0;
  }
}

static const char* item_value(const SetupList* list, const ListFault* f) {
  const PartEntry* p = &list->parts[f->part];
  switch (f->item) {
    case ITEM_TAG: return list->tag;
    case ITEM_RUN: return list->run;
    case ITEM_SHA256: return p->sha256;
    case ITEM_URL: return p->url;
    case ITEM_EXTRACT_TO: return p->extract_to;
    case ITEM_RENAME_FROM: return p->rename_from;
    case ITEM_RENAME_TO: return p->rename_to;
    default: return "";
  }
}

static void explain_verdict(Report* r, const SetupList* list, const ListLines* where) {
  ListFault f = find_list_fault(list);
  char message[256], text[2048];
  verdict_message(f.verdict, message, sizeof message);
  if (f.verdict == LIST_ACCEPTED) {
    printf("%s: %s by the setup\n", r->file, verdict_word(f.verdict));
    return;
  }
  printf("%s: %s by the setup: %s\n", r->file, verdict_word(f.verdict), message);
  uint32_t line = item_line(where, &f);
  if (f.item == ITEM_PARTS)
    FMT_CUT(text, "no part line that the setup counts: %s", list_item_rule(f.item));
  else if (!item_value(list, &f)[0])
    FMT_CUT(text, "no %s line with a value: %s", list_item_name(f.item), list_item_rule(f.item));
  else if (f.item == ITEM_TAG || f.item == ITEM_RUN)
    FMT_CUT(text, "%s \"%s\": %s", list_item_name(f.item), item_value(list, &f),
            list_item_rule(f.item));
  else
    FMT_CUT(text, "part %" PRIu32 ": %s \"%s\": %s", f.part + 1, list_item_name(f.item),
            item_value(list, &f), list_item_rule(f.item));
  problem(r, line, text);
}

// What the setup accepts but would not do as meant.
static void check_intent(Report* r, const SetupList* list, const ListLines* where) {
  char text[2048];
  for (uint32_t i = 0; i < list->part_count; i++) {
    const PartEntry* p = &list->parts[i];
    uint32_t line = where->part_line[i];
    if ((strcmp(p->rename_from, "-") == 0) != (strcmp(p->rename_to, "-") == 0)) {
      FMT_CUT(text, "part %" PRIu32 ": rename_from \"%s\" and rename_to \"%s\": the setup "
                    "renames only when both are given and ignores one alone",
              i + 1, p->rename_from, p->rename_to);
      problem(r, line, text);
    }
    const char* fault = url_release_fault(p->url, list->tag);
    if (fault) {
      FMT_CUT(text, "part %" PRIu32 ": the url %s (tag %s)", i + 1, fault, list->tag);
      problem(r, line, text);
    }
    for (uint32_t k = 0; k < i; k++) {
      if (!asset_names_clash(url_file_name(p->url), url_file_name(list->parts[k].url))) continue;
      FMT_CUT(text, "part %" PRIu32 " has the same file name as part %" PRIu32
                    " (line %" PRIu32 "); a release cannot hold two assets of one name",
              i + 1, k + 1, where->part_line[k]);
      problem(r, line, text);
      break;
    }
  }
}

// Every part's zip in dir: present, of the listed size and checksum. Then,
// when all match, what the zips unpack to.
static void check_dir(Report* r, const SetupList* list, const ListLines* where, const char* dir,
                      int accepted) {
  static char paths[MAX_PARTS][4096];
  const char* zips[MAX_PARTS];
  char text[4400];
  uint32_t matched = 0;
  for (uint32_t i = 0; i < list->part_count; i++) {
    const PartEntry* p = &list->parts[i];
    uint32_t line = where->part_line[i];
    const char* name = url_file_name(p->url);
    // The name comes from the list: it must not lead out of dir.
    if (!list_name_ok(name, 0)) {
      FMT_CUT(text, "part %" PRIu32 ": the url's file name \"%s\" is no plain file name, so it "
                    "cannot be looked for in %s", i + 1, name, dir);
      problem(r, line, text);
      continue;
    }
    size_t dir_len = strlen(dir);
    const char* sep = dir_len && (dir[dir_len - 1] == '/' || dir[dir_len - 1] == '\\') ? "" : "/";
    if (!FMT_CUT(paths[i], "%s%s%s", dir, sep, name)) {
      problem(r, line, "the folder path is too long");
      continue;
    }
    zips[i] = paths[i];
    char sha[65];
    uint64_t size = 0;
    if (!hash_file(paths[i], sha, &size)) {
      FMT_CUT(text, "part %" PRIu32 ": %s: %s", i + 1, paths[i], strerror(errno));
      problem(r, line, text);
      continue;
    }
    if (size != p->size) {
      FMT_CUT(text, "part %" PRIu32 ": size %" PRIu64 " in the list, but %s has %" PRIu64
                    " bytes", i + 1, p->size, paths[i], size);
      problem(r, line, text);
      continue;
    }
    if (strcmp(sha, p->sha256) != 0) {
      FMT_CUT(text, "part %" PRIu32 ": sha256 %s in the list, but %s has %s", i + 1, p->sha256,
              paths[i], sha);
      problem(r, line, text);
      continue;
    }
    printf("part %" PRIu32 ": %s matches\n", i + 1, paths[i]);
    matched++;
  }
  // Only zips that are the listed ones say anything about the release.
  if (!accepted || matched != list->part_count) return;
  char why[2048];
  if (!check_unpack_plan(zips, list->parts, list->part_count, list->run, why, sizeof why))
    problem(r, 0, why);
}

// A "sig " line before the last line: lines were added after signing.
static int sig_line_not_last(const char* text, size_t len) {
  for (size_t i = 0; i + 4 <= len; i++)
    if ((i == 0 || text[i - 1] == '\r' || text[i - 1] == '\n') && memcmp(text + i, "sig ", 4) == 0)
      return 1;
  return 0;
}

// The signature, judged as a setup built with the keys would; without
// keys, only reported. A malformed signature line is a mistake either way.
static void check_signature(Report* r, const char* text, size_t len, const char* const* keys,
                            int key_count) {
  int which = 0;
  SigCheck c = check_list_signature(text, len, keys, key_count, &which);
  char what[600];
  if (c == SIG_VERIFIED && key_count) {
    printf("%s: signed; the signature verifies with --key %s\n", r->file, keys[which]);
  } else if (c == SIG_VERIFIED) {
    printf("%s: signed (give --key to check the signature)\n", r->file);
  } else if (c == SIG_UNSIGNED && !key_count && !sig_line_not_last(text, len)) {
    printf("%s: not signed\n", r->file);
  } else {
    char message[400];
    utf8_from_wide(MSG_LIST_NOT_SIGNED, message, sizeof message);
    if (c == SIG_UNAVAILABLE)
      FMT_CUT(what, "the list %s", sig_check_words(c));
    else if (c == SIG_UNSIGNED && sig_line_not_last(text, len))
      FMT_CUT(what, "the list has a \"sig \" line that is not its last line (were lines added "
                    "after signing?); a setup built with keys refuses it: \"%s\"", message);
    else if (key_count)
      FMT_CUT(what, "the list %s; a setup built with %s refuses it: \"%s\"", sig_check_words(c),
              key_count == 1 ? "this key" : "these keys", message);
    else
      FMT_CUT(what, "the list %s; a setup built with keys refuses it: \"%s\"",
              sig_check_words(c), message);
    problem(r, 0, what);
  }
}

int check_command(int argc, char** argv) {
  const char* file = NULL;
  const char* dir = NULL;
  const char* keys[MAX_CHECK_KEYS];
  int key_count = 0;
  for (int i = 0; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kCheckHelp, stdout);
      return EXIT_GOOD;
    }
    if (strcmp(argv[i], "--dir") == 0) {
      if (i + 1 >= argc || dir) {
        fprintf(stderr, "brisquel-release check: --dir takes one folder\nSee: brisquel-release check --help\n");
        return EXIT_USAGE;
      }
      dir = argv[++i];
    } else if (strcmp(argv[i], "--key") == 0) {
      uint8_t point[LIST_KEY_BYTES];
      if (i + 1 >= argc || key_count == MAX_CHECK_KEYS || !decode_list_key(argv[i + 1], point)) {
        fprintf(stderr, "brisquel-release check: --key takes a public key as pubkey prints it "
                        "(the base64 of a 65-byte point), at most %d times\nSee: "
                        "brisquel-release check --help\n", MAX_CHECK_KEYS);
        return EXIT_USAGE;
      }
      keys[key_count++] = argv[++i];
    } else if (argv[i][0] == '-' && argv[i][1] == '-') {
      fprintf(stderr, "brisquel-release check: unknown option %s\nSee: brisquel-release check --help\n", argv[i]);
      return EXIT_USAGE;
    } else if (file) {
      fprintf(stderr, "brisquel-release check: one list at a time\nSee: brisquel-release check --help\n");
      return EXIT_USAGE;
    } else {
      file = argv[i];
    }
  }
  if (!file) {
    fprintf(stderr, "brisquel-release check: which list?\nSee: brisquel-release check --help\n");
    return EXIT_USAGE;
  }

  char* text = NULL;
  size_t len = 0;
  ReadResult rr = read_whole_file(file, LIST_FILE_MAX, &text, &len);
  if (rr != READ_OK) {
    fprintf(stderr, "%s: %s\n", file,
            rr == READ_TOO_BIG ? "too large for a setup list" : strerror(errno));
    return EXIT_USAGE;
  }
  Report r = {file, 0};
  static ListLines where;
  static SetupList list;
  // The setup cuts its text in place: it gets a copy, the line map the original.
  char* copy = (char*)malloc(len + 1);
  // Twice over the lines: first for where the items stand, which the
  // verdict's explanation needs, then for the notes, after the verdict.
  if (!copy || !map_list_lines(text, len, &where, quiet_note, NULL)) {
    free(copy);
    free(text);
    fprintf(stderr, "%s: out of memory\n", file);
    return EXIT_USAGE;
  }
  memcpy(copy, text, len + 1);
  parse_setup_list(copy, &list);  // the setup's parse of the whole text decides
  free(copy);
  explain_verdict(&r, &list, &where);
  map_list_lines(text, len, &where, line_note, &r);
  check_signature(&r, text, len, keys, key_count);
  free(text);

  if (where.tag_line) printf("tag %s (line %" PRIu32 ")\n", list.tag, where.tag_line);
  if (where.run_line) printf("run %s (line %" PRIu32 ")\n", list.run, where.run_line);
  for (uint32_t i = 0; i < list.part_count; i++)
    print_part(stdout, &list.parts[i], i, list.part_count, where.part_line[i]);
  check_intent(&r, &list, &where);
  if (list.tag[0] && !tag_can_be_requested(list.tag)) {
    fflush(stdout);
    fprintf(stderr, "%s:%" PRIu32 ": warning: users cannot ask for tag %s with the setup's --tag "
                    "(it takes letters, digits, '.', '_' and '-' only); they get it only while "
                    "it is the latest\n", file, where.tag_line, list.tag);
  }
  if (dir) check_dir(&r, &list, &where, dir, check_setup_list(&list) == LIST_ACCEPTED);

  fflush(stderr);
  int good = check_setup_list(&list) == LIST_ACCEPTED && r.problems == 0;
  if (good)
    printf("%s: fit to publish%s%s\n", file, dir ? "; every part matches its zip in " : "",
           dir ? dir : "");
  else
    printf("%s: NOT fit to publish (%" PRIu32 " problem%s)\n", file, r.problems,
           r.problems == 1 ? "" : "s");
  return good ? EXIT_GOOD : EXIT_REFUSED;
}
