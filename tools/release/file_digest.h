// SHA-256 and size of a file on disk, streamed through a fixed buffer so
// that archives of any size hash in constant memory.
#pragma once
#include <stdint.h>

// Fills hex (64 lowercase digits) and size from the bytes read. Returns
// nonzero on success; zero when the file cannot be opened or a read fails,
// with errno as the system left it.
int hash_file(const char* path, char hex[65], uint64_t* size);
