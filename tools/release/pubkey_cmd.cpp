// brisquel-release pubkey: the public key of a list signing key, in the form
// the setup's build takes it (BRISQUEL_LIST_KEYS) and check's --key reads.
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "list_sign.h"

const char kPubkeyHelp[] =
    "Usage: brisquel-release pubkey KEY.pem\n"
    "\n"
    "Prints the public key of KEY.pem (a P-256 EC private key, as\n"
    "  openssl ecparam -name prime256v1 -genkey -noout -out KEY.pem\n"
    "writes it) as the base64 of its 65-byte uncompressed point: the value for\n"
    "the setup's build option BRISQUEL_LIST_KEYS and for check --key.\n"
    "\n"
    "Example:\n"
    "  cmake -B build -DBRISQUEL_LIST_KEYS=\"$(brisquel-release pubkey first.pem);$(brisquel-release pubkey second.pem)\"\n";

int pubkey_command(int argc, char** argv) {
  if (argc >= 1 && (strcmp(argv[0], "--help") == 0 || strcmp(argv[0], "-h") == 0)) {
    fputs(kPubkeyHelp, stdout);
    return EXIT_GOOD;
  }
  if (argc != 1 || argv[0][0] == '-') {
    fputs("brisquel-release pubkey: takes one key file\nSee: brisquel-release pubkey --help\n",
          stderr);
    return EXIT_USAGE;
  }
  char key[LIST_KEY_TEXT + 1], why[600];
  if (!list_key_of_file(argv[0], key, why, sizeof why)) {
    fprintf(stderr, "%s\n", why);
    return EXIT_USAGE;
  }
  printf("%s\n", key);
  return EXIT_GOOD;
}
