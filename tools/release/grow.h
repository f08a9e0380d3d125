// The tool's growing arrays: room for one more element, doubling.
#pragma once
#include <stddef.h>
#include <stdlib.h>

// Makes room for element *count of *at (capacity *cap, first allocation
// `first` elements). 0 when memory runs out; the array is then unchanged.
template <typename T>
int grow_for_one(T** at, size_t count, size_t* cap, size_t first) {
  if (count < *cap) return 1;
  size_t want = *cap ? *cap * 2 : first;
  T* grown = (T*)realloc(*at, want * sizeof(T));
  if (!grown) return 0;
  *at = grown;
  *cap = want;
  return 1;
}
