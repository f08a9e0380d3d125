// brisquel-release: makes and checks brisquel-setup.txt, the setup list of
// a Brisquel Builder release, with the setup's own parser and checks, so
// that no list the setup would refuse or misread reaches a release.
#include <stdio.h>
#include <string.h>

#include "commands.h"

static const char kHelp[] =
    "brisquel-release: makes and checks brisquel-setup.txt, the setup list of a\n"
    "Brisquel Builder release, with the setup's own parser and checks.\n"
    "\n"
    "Usage:\n"
    "  brisquel-release make --tag TAG --run PATH --base-url URL [--out FILE]\n"
    "                        [--sign-key KEY.pem] PART...\n"
    "  brisquel-release check LIST [--dir DIR] [--key PUBKEY]...\n"
    "  brisquel-release pubkey KEY.pem\n"
    "  brisquel-release publish --repo OWNER/REPO --tag TAG --dir DIR [--exe FILE] ...\n"
    "  brisquel-release make --help | check --help | pubkey --help | publish --help\n"
    "\n"
    "Examples:\n"
    "  brisquel-release make --tag v1.4.2 --run TamrockBuilder/TamrockBuilder.exe \\\n"
    "    --base-url https://github.com/tamrock/brisquel/releases/download/v1.4.2/ \\\n"
    "    TamrockBuilder-1.4.2.zip\n"
    "  brisquel-release check brisquel-setup.txt --dir .\n"
    "\n"
    "Exit status: 0 done and fit to publish, 1 refused or problems found,\n"
    "2 usage error or unreadable list.\n";

static int run_tool(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    if (argc >= 3 && strcmp(argv[1], "help") == 0) {
      if (strcmp(argv[2], "make") == 0) return fputs(kMakeHelp, stdout), EXIT_GOOD;
      if (strcmp(argv[2], "check") == 0) return fputs(kCheckHelp, stdout), EXIT_GOOD;
      if (strcmp(argv[2], "pubkey") == 0) return fputs(kPubkeyHelp, stdout), EXIT_GOOD;
    }
    fputs(kHelp, argc < 2 ? stderr : stdout);
    return argc < 2 ? EXIT_USAGE : EXIT_GOOD;
  }
  if (strcmp(argv[1], "make") == 0) return make_command(argc - 2, argv + 2);
  if (strcmp(argv[1], "check") == 0) return check_command(argc - 2, argv + 2);
  if (strcmp(argv[1], "pubkey") == 0) return pubkey_command(argc - 2, argv + 2);
  if (strcmp(argv[1], "publish") == 0) return publish_command(argc - 2, argv + 2);
  fprintf(stderr, "brisquel-release: unknown command %s\nSee: brisquel-release --help\n",
          argv[1]);
  return EXIT_USAGE;
}

#ifdef _WIN32
#include <wchar.h>

// Publishing needs libcurl and jansson, which only the native build links.
int publish_command(int, char**) {
  fputs("brisquel-release publish: not in the Windows build of the tool; publish with the "
        "native (Linux) build, where maintainers and CI run it\n", stderr);
  return EXIT_USAGE;
}

#include "text_utf.h"

// The Windows build links with -municode: arguments arrive as UTF-16 and
// go on as UTF-8, the form every file name takes inside the tool.
int wmain(int argc, wchar_t** wargv) {
  static char pool[3 * 32768 + 4096];  // a command line holds at most 32767 units
  static char* argv[16384];
  size_t used = 0;
  if (argc < 0 || (size_t)argc >= sizeof argv / sizeof argv[0]) return EXIT_USAGE;
  for (int i = 0; i < argc; i++) {
    argv[i] = pool + used;
    if (!utf8_from_wide(wargv[i], pool + used, sizeof pool - used)) {
      fputs("brisquel-release: command line too long\n", stderr);
      return EXIT_USAGE;
    }
    used += strlen(pool + used) + 1;
  }
  argv[argc] = NULL;
  return run_tool(argc, argv);
}
#else
int main(int argc, char** argv) { return run_tool(argc, argv); }
#endif
