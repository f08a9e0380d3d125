// The install run's user-facing texts, in one place.
#pragma once

#define MSG_LOOKING L"Looking for the latest Brisquel Builder..."
#define MSG_LIST_RETRY L"GitHub didn't answer (%lu). Trying again in %d s..."
#define MSG_NO_SETUP_FILES                                                                     \
  L"The latest Brisquel release has no setup files yet. Download TamrockBuilder.zip from the " \
  L"releases page for now: %hs%hs/releases/latest"
#define MSG_LIST_REFUSED                                                                     \
  L"GitHub refused to send the setup list (HTTP status %lu). Try again later, or download " \
  L"TamrockBuilder.zip from the releases page: %hs%hs/releases/latest"
#define MSG_CANNOT_REACH                                                                   \
  L"Could not reach GitHub to get the Brisquel Builder. Check your internet connection and " \
  L"try again."
#define MSG_LIST_NOT_SIGNED                                                                 \
  L"This release's setup list is not signed by the makers of the Brisquel Builder, so it was " \
  L"not installed. Download BrisquelBuilder.exe again from the official release page, or ask " \
  L"its makers."
#define MSG_SERVERS_FAILING                                                                 \
  L"GitHub's download servers are failing right now (an error 500 or above, tried 8 times " \
  L"over 3 minutes). This is on GitHub's side: try again in a few minutes, or later today."

#define MSG_PART_KEPT L"Part %d of %d unchanged: kept from the installed version"
#define MSG_PART_RETRY L"Part %d of %d: GitHub didn't answer (%lu). Trying again in %d s..."
#define MSG_PART_DOWNLOADING L"Downloading part %d of %d (%llu MB)..."
#define MSG_CANNOT_WRITE L"Could not write to %ls."
#define MSG_NO_CHECKSUM \
  L"Could not check part %d of %d: Windows' SHA-256 is not available (error 0x%08lx)."
#define MSG_PART_SERVERS_FAILING                                                              \
  L"Downloading part %d of %d failed: GitHub's download servers are failing right now "     \
  L"(tried 8 times over 3 minutes). This is on GitHub's side. The parts already downloaded " \
  L"are kept: run BrisquelBuilder.exe again in a few minutes and it carries on from here."
#define MSG_PART_FAILED \
  L"Downloading part %d of %d failed. Check your connection and free space, then try again."
#define MSG_PATH_TOO_DEEP                                                                   \
  L"Could not download part %d of %d: the folder %ls is too deep for Windows' path limit " \
  L"(259 characters). Use a data folder with a shorter path."
#define MSG_PART_CHECKSUM L"Part %d of %d did not download correctly (its checksum differs). Try again."
#define MSG_ARCHIVE_NOT_PLACED                                                                  \
  L"Part %d of %d was downloaded and verified, but Windows did not let the setup put it in " \
  L"place as %ls (Windows error %lu); an antivirus may be holding it. The download is kept: "   \
  L"run BrisquelBuilder.exe again and it carries on from here without downloading it again."
#define MSG_WAITING_FOR_FILE \
  L"Waiting for Windows to release %ls (an antivirus may be scanning it)..."

#define MSG_UNPACKING L"Unpacking part %d of %d..."
#define MSG_TAR_START \
  L"Could not start Windows' tar.exe (Windows error %lu).\nArchive: %ls\nDestination: %ls"
#define MSG_TAR_STATUS \
  L"Could not read Windows' tar.exe exit status (Windows error %lu).\nArchive: %ls\nDestination: %ls"
#define MSG_TAR_HEAD                                                                     \
  L"Unpacking part %d of %d failed: Windows' tar.exe exited with code %lu.\nArchive: " \
  L"%ls\nDestination: %ls\n%ls:\n"
#define MSG_TAR_EXCERPT_LABEL L"Tar stderr excerpt (up to 511 bytes captured)"
#define MSG_TAR_NO_EXCERPT_LABEL L"Stderr unavailable"
#define MSG_TAR_NO_CAPTURE L"Could not capture stderr (Windows error %lu)."
#define MSG_RENAME_FAILED L"Could not set up part %d of %d (renaming %ls)."

#define MSG_BUILDER_MISSING                                                                  \
  L"The builder is missing after unpacking (%ls). Your antivirus may have removed it: allow " \
  L"the folder %ls and run the setup again."
#define MSG_COMMIT_FAILED L"Could not finish installing into %ls."
#define MSG_STARTING_BUILDER L"Starting the Brisquel Builder..."
#define MSG_CANNOT_START L"Could not start %ls."
