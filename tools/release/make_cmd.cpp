// brisquel-release make: computes every part's checksum and size, forms its
// url, and writes a setup list only after the setup's own parser and check
// have read it back exactly as meant.
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/bounds.h"
#include "commands.h"
#include "file_digest.h"
#include "file_io.h"
#include "list_sign.h"
#include "list_text.h"
#include "list_verdict.h"
#include "part_report.h"
#include "release_url.h"
#include "unpack_plan.h"

const char kMakeHelp[] =
    "Usage: brisquel-release make --tag TAG --run PATH --base-url URL [--out FILE]\n"
    "                             [--sign-key KEY.pem] PART...\n"
    "\n"
    "Writes the setup list of a release (brisquel-setup.txt unless --out says\n"
    "otherwise): the tag, the builder to run, and one part line per zip in the\n"
    "order given, with the zip's SHA-256 and size computed here and its url\n"
    "formed from --base-url and the zip's file name.\n"
    "\n"
    "  --tag TAG        the release's tag; it names the version folder\n"
    "  --run PATH       the builder executable, relative to the version folder;\n"
    "                   one of the zips must put a file there once unpacked\n"
    "  --base-url URL   https address the release's assets download from,\n"
    "                   normally https://github.com/OWNER/REPO/releases/download/TAG/\n"
    "  --out FILE       where to write the list (default brisquel-setup.txt)\n"
    "  --sign-key KEY.pem  end the list with its signature (\"sig\" line) made with\n"
    "                   this P-256 private key; setups built with the key's public\n"
    "                   key (see pubkey) install only lists signed so\n"
    "\n"
    "Each PART is a zip file, followed by the options for that zip:\n"
    "  --extract-to DIR     unpack into DIR below the version folder (default .)\n"
    "  --rename-from NAME   after unpacking, rename the zip's top entry NAME...\n"
    "  --rename-to NAME     ...to NAME (give both or neither)\n"
    "\n"
    "Nothing is written, and the exit status is 1, when the setup would find\n"
    "the list unreadable or reject it, when there are more than 16 parts, when\n"
    "a zip is missing, unreadable, damaged or holds entries Windows' tar cannot\n"
    "unpack, when a rename would not happen, when no zip puts a file at the run\n"
    "path, when two zips share a file name, or when a part url is a download\n"
    "link of another release than TAG. Usage errors exit with 2.\n"
    "\n"
    "Examples:\n"
    "  brisquel-release make --tag v1.4.2 --run TamrockBuilder/TamrockBuilder.exe \\\n"
    "    --base-url https://github.com/tamrock/brisquel/releases/download/v1.4.2/ \\\n"
    "    dist/TamrockBuilder-1.4.2.zip \\\n"
    "    dist/TamrockBuilder-python-3.12.8.zip --extract-to TamrockBuilder/tools \\\n"
    "      --rename-from python-3.12.8-embed-amd64 --rename-to python\n"
    "\n"
    "  brisquel-release make --tag v1.4.3 --run bin/TamrockBuilder.exe --out dist/brisquel-setup.txt \\\n"
    "    --base-url https://github.com/tamrock/brisquel/releases/download/v1.4.3 \\\n"
    "    dist/TamrockBuilder-1.4.3.zip --extract-to bin\n";

struct MakeArgs {
  const char* tag;
  const char* run;
  const char* base_url;
  const char* out;
  const char* sign_key;
  const char* zip[MAX_PARTS];
  const char* extract_to[MAX_PARTS];
  const char* rename_from[MAX_PARTS];
  const char* rename_to[MAX_PARTS];
  uint32_t count;  // may pass MAX_PARTS: the surplus is counted, not kept
};

static int usage(const char* text, const char* arg) {
  fprintf(stderr, "brisquel-release make: %s%s\n", text, arg);
  fprintf(stderr, "See: brisquel-release make --help\n");
  return EXIT_USAGE;
}

// Returns -1 when the command line is good, else the exit status.
static int parse_make_args(int argc, char** argv, MakeArgs* a) {
  memset(a, 0, sizeof *a);
  for (int i = 0; i < argc; i++) {
    const char* arg = argv[i];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      fputs(kMakeHelp, stdout);
      return EXIT_GOOD;
    }
    if (arg[0] != '-' || arg[1] != '-') {
      if (a->count < MAX_PARTS) a->zip[a->count] = arg;
      a->count++;
      continue;
    }
    if (i + 1 >= argc) return usage("missing value after ", arg);
    const char* value = argv[++i];
    // Part options belong to the zip before them; silently applying one to
    // another zip would unpack a part into the wrong place.
    const char** part_slots = NULL;
    const char** slot = NULL;
    if (strcmp(arg, "--tag") == 0) slot = &a->tag;
    else if (strcmp(arg, "--run") == 0) slot = &a->run;
    else if (strcmp(arg, "--base-url") == 0) slot = &a->base_url;
    else if (strcmp(arg, "--out") == 0) slot = &a->out;
    else if (strcmp(arg, "--sign-key") == 0) slot = &a->sign_key;
    else if (strcmp(arg, "--extract-to") == 0) part_slots = a->extract_to;
    else if (strcmp(arg, "--rename-from") == 0) part_slots = a->rename_from;
    else if (strcmp(arg, "--rename-to") == 0) part_slots = a->rename_to;
    else return usage("unknown option ", arg);
    if (part_slots) {
      if (a->count == 0) return usage("this option must follow the zip it applies to: ", arg);
      if (a->count > MAX_PARTS) continue;  // refused as too many parts later
      slot = &part_slots[a->count - 1];
    }
    if (*slot) return usage("given twice: ", arg);
    *slot = value;
  }
  if (!a->tag) return usage("missing ", "--tag");
  if (!a->run) return usage("missing ", "--run");
  if (!a->base_url) return usage("missing ", "--base-url");
  if (!a->out) a->out = "brisquel-setup.txt";
  return -1;
}

static int refuse(const char* out, const char* subject, const char* text) {
  fprintf(stderr, "%s: %s\n", subject, text);
  fprintf(stderr, "brisquel-release make: refused; %s was not written\n", out);
  return EXIT_REFUSED;
}

static int too_long(const char* out, const char* subject, const char* value, size_t field) {
  char text[200];
  FMT_CUT(text, "is %lu bytes long; the setup reads at most %lu",
          (unsigned long)strlen(value), (unsigned long)(field - 1));
  return refuse(out, subject, text);
}

// Fills the list from the command line, with every value checked against
// its field's width first: the setup would cut a longer one silently.
static int fill_list(const MakeArgs* a, SetupList* list) {
  memset(list, 0, sizeof *list);
  if (strlen(a->tag) >= sizeof list->tag) return too_long(a->out, "--tag", a->tag, sizeof list->tag);
  if (strlen(a->run) >= sizeof list->run) return too_long(a->out, "--run", a->run, sizeof list->run);
  COPY_CUT(list->tag, a->tag);
  COPY_CUT(list->run, a->run);
  for (const char* c = a->base_url; *c; c++)
    if ((unsigned char)*c <= ' ')
      return refuse(a->out, "--base-url", "holds white space, which would end the url early");
  for (uint32_t i = 0; i < a->count; i++) {
    PartEntry* p = &list->parts[i];
    const char* zip = a->zip[i];
    const char* values[3] = {a->extract_to[i] ? a->extract_to[i] : ".",
                             a->rename_from[i] ? a->rename_from[i] : "-",
                             a->rename_to[i] ? a->rename_to[i] : "-"};
    char* fields[3] = {p->extract_to, p->rename_from, p->rename_to};
    for (int k = 0; k < 3; k++) {
      if (strlen(values[k]) >= sizeof p->extract_to) {
        char subject[300];
        FMT_CUT(subject, "%s: %s", zip,
                k == 0 ? "--extract-to" : k == 1 ? "--rename-from" : "--rename-to");
        return too_long(a->out, subject, values[k], sizeof p->extract_to);
      }
      copy_cut(fields[k], sizeof p->extract_to, values[k]);
    }
    // The setup renames only when both names are given; one alone would be
    // ignored on every user's machine.
    if ((strcmp(p->rename_from, "-") == 0) != (strcmp(p->rename_to, "-") == 0))
      return refuse(a->out, zip,
                    "--rename-from and --rename-to go together: the setup ignores one alone");
    const char* name = path_file_name(zip);
    if (!list_name_ok(name, 0))
      return refuse(a->out, zip,
                    "its file name cannot be a release asset name in a part url: use only "
                    "letters, digits, '.', '_', '+' and '-'");
    for (uint32_t k = 0; k < i; k++) {
      if (!asset_names_clash(name, path_file_name(a->zip[k]))) continue;
      char text[600];
      FMT_CUT(text, "has the same file name as part %lu (%s); a release cannot hold two assets "
                    "of one name", (unsigned long)(k + 1), a->zip[k]);
      return refuse(a->out, zip, text);
    }
    if (!join_part_url(a->base_url, name, p->url, sizeof p->url)) {
      char subject[300];
      FMT_CUT(subject, "%s: url", zip);
      return refuse(a->out, subject, "would be longer than the 1023 bytes the setup reads");
    }
    memset(p->sha256, '0', 64);  // a stand-in until the zip is hashed
    p->sha256[64] = 0;
  }
  list->part_count = a->count;
  return -1;
}

// The setup's own verdict on the list; on anything but accepted, says which
// option or zip drew it and what the setup would show.
static int judge(const MakeArgs* a, const SetupList* list) {
  ListFault f = find_list_fault(list);
  if (f.verdict == LIST_ACCEPTED) return -1;
  char subject[600], text[1600], message[256];
  const PartEntry* p = &list->parts[f.part];
  switch (f.item) {
    case ITEM_TAG: FMT_CUT(subject, "--tag \"%s\"", list->tag); break;
    case ITEM_RUN: FMT_CUT(subject, "--run \"%s\"", list->run); break;
    case ITEM_PARTS: FMT_CUT(subject, "brisquel-release make"); break;
    case ITEM_URL: FMT_CUT(subject, "%s: url %s", a->zip[f.part], p->url); break;
    case ITEM_EXTRACT_TO: FMT_CUT(subject, "%s: --extract-to \"%s\"", a->zip[f.part], p->extract_to); break;
    case ITEM_RENAME_FROM: FMT_CUT(subject, "%s: --rename-from \"%s\"", a->zip[f.part], p->rename_from); break;
    case ITEM_RENAME_TO: FMT_CUT(subject, "%s: --rename-to \"%s\"", a->zip[f.part], p->rename_to); break;
    default: FMT_CUT(subject, "%s: %s", a->zip[f.part], list_item_name(f.item)); break;
  }
  verdict_message(f.verdict, message, sizeof message);
  int empty = (f.item == ITEM_TAG && !list->tag[0]) || (f.item == ITEM_RUN && !list->run[0]);
  FMT_CUT(text, "%s; the setup would find the list %s: \"%s\"",
          empty ? "is empty" : list_item_rule(f.item), verdict_word(f.verdict), message);
  return refuse(a->out, subject, text);
}

static int write_list(const char* out, const char* text, size_t len) {
  char tmp[4096];
  if (!FMT_CUT(tmp, "%s.tmp", out)) return refuse(out, out, "path too long");
  FILE* f = open_file(tmp, "wb");
  if (!f) {
    int err = errno;
    fprintf(stderr, "%s: cannot create: %s\n", tmp, strerror(err));
    fprintf(stderr, "brisquel-release make: refused; %s was not written\n", out);
    return EXIT_REFUSED;
  }
  // A list that reached the disk short would still parse: every byte is
  // checked, and the old list is replaced only by a complete new one.
  int ok = fwrite(text, 1, len, f) == len;
  int err = errno;
  if (fclose(f) != 0 && ok) {
    ok = 0;
    err = errno;
  }
  char* back = NULL;
  size_t back_len = 0;
  if (ok && (read_whole_file(tmp, len, &back, &back_len) != READ_OK || back_len != len ||
             memcmp(back, text, len) != 0)) {
    ok = 0;
    err = EIO;
  }
  free(back);
  if (ok && !replace_file(tmp, out)) {
    ok = 0;
    err = errno;
  }
  if (!ok) {
    remove_file(tmp);
    fprintf(stderr, "%s: cannot write: %s\n", out, strerror(err));
    fprintf(stderr, "brisquel-release make: refused; %s was not written\n", out);
    return EXIT_REFUSED;
  }
  return -1;
}

// Appends the signature line and proves it with the key's own public key,
// as a setup built with that key would.
static int sign_text(const MakeArgs* a, char* text, size_t* len, size_t cap) {
  char line[LIST_SIG_LINE_CAP], key[LIST_KEY_TEXT + 1], why[600];
  if (!sign_list_text(a->sign_key, text, *len, line, why, sizeof why) ||
      !list_key_of_file(a->sign_key, key, why, sizeof why))
    return refuse(a->out, "--sign-key", why);
  size_t n = strlen(line);
  if (*len + n >= cap) return refuse(a->out, a->out, "the list does not fit the tool's buffer");
  memcpy(text + *len, line, n + 1);
  *len += n;
  const char* keys[] = {key};
  int which = 0;
  if (check_list_signature(text, *len, keys, 1, &which) != SIG_VERIFIED)
    return refuse(a->out, "--sign-key", "the signature made does not verify with the key");
  return -1;
}

int make_command(int argc, char** argv) {
  static MakeArgs a;
  static SetupList list;
  static char text[LIST_TEXT_CAP + LIST_SIG_LINE_CAP];
  int status = parse_make_args(argc, argv, &a);
  if (status >= 0) return status;
  if (a.sign_key) {
    // A key that cannot sign is found out before any zip is read.
    char key[LIST_KEY_TEXT + 1], why[600];
    if (!list_key_of_file(a.sign_key, key, why, sizeof why))
      return refuse(a.out, "--sign-key", why);
  }

  if (a.count == 0) {
    char message[256], why[512];
    verdict_message(LIST_UNREADABLE, message, sizeof message);
    FMT_CUT(why, "no zip given; the setup would find the list unreadable: \"%s\"", message);
    return refuse(a.out, "brisquel-release make", why);
  }
  if (a.count > MAX_PARTS) {
    char why[200];
    FMT_CUT(why, "%lu zips given; the setup reads at most %d parts", (unsigned long)a.count,
            MAX_PARTS);
    return refuse(a.out, "brisquel-release make", why);
  }
  if ((status = fill_list(&a, &list)) >= 0) return status;
  if ((status = judge(&a, &list)) >= 0) return status;
  // The setup would accept a link into another release, and every install
  // would then fail its checksum or find the asset gone.
  const char* fault = url_release_fault(list.parts[0].url, list.tag);
  if (fault) {
    char text[1400];
    FMT_CUT(text, "the part url %s %s (--tag %s)", list.parts[0].url, fault, list.tag);
    return refuse(a.out, "--base-url", text);
  }

  for (uint32_t i = 0; i < list.part_count; i++) {
    FILE* f = open_file(a.zip[i], "rb");
    if (!f) return refuse(a.out, a.zip[i], strerror(errno));
    fclose(f);
  }
  char why[2048];
  if (!check_unpack_plan(a.zip, list.parts, list.part_count, list.run, why, sizeof why))
    return refuse(a.out, "brisquel-release make", why);
  for (uint32_t i = 0; i < list.part_count; i++) {
    PartEntry* p = &list.parts[i];
    if (!hash_file(a.zip[i], p->sha256, &p->size)) {
      char text2[300];
      FMT_CUT(text2, "cannot read: %s", strerror(errno));
      return refuse(a.out, a.zip[i], text2);
    }
  }
  if ((status = judge(&a, &list)) >= 0) return status;

  size_t len = format_setup_list(&list, text, sizeof text);
  if (len == 0) return refuse(a.out, a.out, "the list does not fit the tool's buffer");
  if (a.sign_key && (status = sign_text(&a, text, &len, sizeof text)) >= 0) return status;
  if (!list_reads_back(text, len, &list, why, sizeof why)) {
    char text2[2200];
    FMT_CUT(text2, "the setup would read the list differently: %s", why);
    return refuse(a.out, a.out, text2);
  }
  if ((status = write_list(a.out, text, len)) >= 0) return status;
  if (!tag_can_be_requested(list.tag))
    fprintf(stderr, "warning: --tag %s: users cannot ask for this release with the setup's "
                    "--tag (it takes letters, digits, '.', '_' and '-' only); they get it only "
                    "while it is the latest\n", list.tag);

  printf("%s: tag %s, run %s, %lu parts%s\n", a.out, list.tag, list.run,
         (unsigned long)list.part_count, a.sign_key ? ", signed" : "");
  for (uint32_t i = 0; i < list.part_count; i++)
    print_part(stdout, &list.parts[i], i, list.part_count, 0);
  printf("Attach %s and these %lu zips to the GitHub release %s.\n", a.out,
         (unsigned long)list.part_count, list.tag);
  return EXIT_GOOD;
}
