// The growing memory block that receives small bodies (setup list, JSON).
// No Windows header: the sink is plain C and also builds natively.
#pragma once
#include <stdint.h>

struct MemBuffer {
  char* data;     // received bytes plus one NUL; null until the first byte
  uint64_t len;   // bytes held, NUL not counted
  uint64_t cap;   // size of the block at data
};

// Sink shape shared by every body consumer: nonzero = accepted, go on.
typedef int (*Sink)(void* context, const void* bytes, uint32_t count);

// Appends count bytes; grows the block to twice what is needed. On an
// allocation failure returns 0 and leaves the buffer as it was.
int mem_sink(void* context, const void* bytes, uint32_t count);

// Releases the block and zeroes the fields.
void mem_free(MemBuffer* b);
