// The tool's commands. Each takes the arguments after its own name and
// returns the process exit status.
#pragma once

// Exit statuses shared by the commands.
enum {
  EXIT_GOOD = 0,
  EXIT_REFUSED = 1,  // the list would be unfit to publish, or a zip is wrong
  EXIT_USAGE = 2,    // bad command line, or the list file cannot be read
};

int make_command(int argc, char** argv);
int check_command(int argc, char** argv);
int pubkey_command(int argc, char** argv);
// Native build only; the Windows build answers that it leaves publish out.
int publish_command(int argc, char** argv);

extern const char kMakeHelp[];
extern const char kCheckHelp[];
extern const char kPubkeyHelp[];
