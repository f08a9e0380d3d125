// The setup list's signature, checked with Windows' CNG against the keys
// the setup was built with.
#pragma once
#include <stddef.h>

// Nonzero when the setup carries no keys (every list passes, as it always
// has), or when body (len bytes) ends in a signature line whose signature
// of the bytes before it verifies with one of the keys. Zero for anything
// else, including a CNG call that fails: an unverified list is never used.
int list_signed_by_makers(const char* body, size_t len);
