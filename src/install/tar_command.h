// The command line that starts the system tar for one archive.
#pragma once
#include <stddef.h>

// Forms `"<system_dir>\tar.exe" -xf "<archive>" -C "<dest>"` into out,
// cut at cap-1 units and always terminated; cap must be at least 1.
//
// tar's main receives its arguments in the ANSI code page, converted with
// best fit, so a letter the code page lacks reaches it as a look-alike and
// names another path. ansi_ok says that every path above survives that
// conversion unchanged (the caller asks Windows); then the line is as
// above. Otherwise the archive is named relative to dest and dest as ".",
// which reads right because the caller starts tar with dest as its working
// directory: below the folder the two paths share, the names are the
// setup's own and the list's, which are ASCII. When no such relative form
// exists (no shared folder, or a name past it outside ASCII) the full
// paths are given, and tar's own message says what it could not open.
//
// Returns nonzero when the whole line fitted.
int tar_command(wchar_t* out, size_t cap, const wchar_t* system_dir, const wchar_t* archive,
                const wchar_t* dest, int ansi_ok);
