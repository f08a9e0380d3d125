// The program's only network code: one synchronous WinHTTP GET.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <stdint.h>

#include "net/mem_buffer.h"

// Status of the last HTTP response received (0 = none). Callers reset it
// before each attempt; http_get never clears it.
extern uint32_t g_http_status;

// A part's archive on its way to disk: the bytes already in the file are
// the ones already fed to the hash, so that the digest is always that of
// the file as it stands.
struct FileTarget {
  HANDLE file;              // opened for writing by the caller, positioned at have
  BCRYPT_ALG_HANDLE alg;    // SHA-256 provider, to start the hash over
  BCRYPT_HASH_HANDLE hash;  // hash object holding the file's first have bytes
  uint64_t have;            // bytes in the file
  uint64_t began;           // set by http_get_file: where the last body's bytes began
};

// Fetches address (UTF-8, at most 1023 bytes) and hands the body to sink.
// expected: exact body size, 0 = not given; when given, g_percent is
// updated and WM_SETUP_STATUS posted whenever the whole percentage changes.
// accept: the only media type sent in Accept, or null. Returns 1 on a
// 200 answer whose body the sink took whole (and of the expected size).
int http_get(const char* address, Sink sink, void* context, uint64_t expected,
             const wchar_t* accept);

// Brings t to size bytes from address. With 0 < t->have < size it asks
// only for the rest (Range), and appends it when the host answers with
// exactly that range; a whole body (200) replaces the file, and a host
// that has no such range (416) is asked once more for the whole file.
// A range other than the one asked for is never written: the file is
// emptied so that the next attempt starts over, and 0 is returned with
// g_http_status 206. The bar starts at the share already on disk.
// Returns 1 when the file holds size bytes, all of them hashed.
int http_get_file(const char* address, FileTarget* t, uint64_t size, const wchar_t* accept);

// Writes the bytes to target->file and feeds exactly those to the hash;
// a short write stops the download.
int file_sink(void* context, const void* bytes, uint32_t count);

// Empties the file and starts its hash over. Returns nonzero on success;
// on failure the hash may be gone (null), so nothing can verify.
int file_restart(FileTarget* t);
