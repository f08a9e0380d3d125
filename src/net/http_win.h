// The program's only network code: one synchronous WinHTTP GET.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <stdint.h>

#include "net/mem_buffer.h"

// Status of the last HTTP response received (0 = none). Callers reset it
// before each attempt; http_get never clears it.
extern uint32_t g_http_status;

struct FileTarget {
  HANDLE file;              // opened for writing by the caller
  BCRYPT_HASH_HANDLE hash;  // SHA-256 hash object created by the caller
};

// Fetches address (UTF-8, at most 1023 bytes) and hands the body to sink.
// expected: exact body size, 0 = not given; when given, g_percent is
// updated and WM_SETUP_STATUS posted after every accepted chunk.
// accept: the only media type sent in Accept, or null. Returns 1 on a
// 200 answer whose body the sink took whole (and of the expected size).
int http_get(const char* address, Sink sink, void* context, uint64_t expected,
             const wchar_t* accept);

// Writes the bytes to target->file and feeds exactly those to the hash;
// a short write stops the download.
int file_sink(void* context, const void* bytes, uint32_t count);
