#include "net/mem_buffer.h"

#include <stdlib.h>
#include <string.h>

int mem_sink(void* context, const void* bytes, uint32_t count) {
  MemBuffer* b = (MemBuffer*)context;
  uint64_t needed = b->len + count + 1;
  if (needed > b->cap) {
    // A server decides how much arrives: the doubling must neither wrap
    // nor exceed what the allocator can be asked for.
    if (needed < b->len || needed > (uint64_t)SIZE_MAX / 2) return 0;
    uint64_t cap = needed * 2;
    char* grown = (char*)realloc(b->data, (size_t)cap);
    if (!grown) return 0;
    b->data = grown;
    b->cap = cap;
  }
  memcpy(b->data + b->len, bytes, count);
  b->len += count;
  b->data[b->len] = 0;
  return 1;
}

void mem_free(MemBuffer* b) {
  free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}
