// File-system helpers and the data root of the install run.
#pragma once
#include <stddef.h>

#define PATH_UNITS 260

// Settled by prepare_data_root at the start of every run.
extern wchar_t g_data_root[PATH_UNITS];
extern wchar_t g_downloads_dir[PATH_UNITS];

// The data root from the local application data folder or
// TAMROCK_SETUP_BASE, into root; creates nothing. 0 when there is no local
// application data folder.
int settle_data_root(wchar_t root[PATH_UNITS]);

// Data root from the local application data folder or TAMROCK_SETUP_BASE;
// creates the downloads directory chain. Ends the run through fail when
// there is no local application data folder.
void prepare_data_root();

// Creates path (backslashes only) and every missing ancestor; silent.
void make_dirs(const wchar_t* path);

// Removes a directory tree; links are removed, never followed; read-only
// files are cleared first. Returns nonzero when the directory itself went.
// Each removal is tried again like fs_retry's, until one of them outlasts
// its waits: the rest of the walk then tries each entry once. Reaches
// entries at any depth (past 259 units) through the "\\?\" form of the
// paths. With a deadline (a GetTickCount64 value), the walk stops there and
// leaves the rest. Worker thread only: one walk at a time.
int rmtree(const wchar_t* path, unsigned long long deadline = 0);

enum FsOp { FS_MOVE, FS_DELETE, FS_REMOVE_DIR };

// Moves path to `to` (MoveFileW), deletes the file path (DeleteFileW) or
// removes the empty directory path (RemoveDirectoryW), and tries again
// after the waits of fs_waits_ms while Windows refuses with an error that
// a brief hold by another program gives (an antivirus scan). Any other
// error ends it at once. The status line names the file once the waits
// grow long. Nonzero on success; otherwise GetLastError tells why.
int fs_retry(FsOp op, const wchar_t* path, const wchar_t* to = nullptr);

// The wait between attempts of fs_retry; a seam so tests need not sleep.
void pause_ms(int ms);

// First line of a marker file (at most 127 bytes) into text; empty when
// the file is absent or unreadable.
void read_marker(const wchar_t* path, char text[128]);

// Replaces the file with exactly the bytes of text; silent on failure.
void write_marker(const wchar_t* path, const char* text);

// Turns every '/' into '\' in place.
void to_backslashes(wchar_t* path);

// Nonzero when the file system reports attributes for path.
int path_exists(const wchar_t* path);
