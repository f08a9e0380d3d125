// Buffer bounds that the compiler computes, and the one bounded text helper.
// No Windows header: pure code includes this too.
#pragma once
#include <stddef.h>

// Element count of an array; refuses a pointer at compile time.
template <typename T, size_t N>
char (&dimof_helper(T (&)[N]))[N];
#define dimof(a) (sizeof(dimof_helper(a)))

// Copies at most cap-1 bytes of src and always terminates. Returns the
// number of bytes copied. cap must be at least 1.
size_t copy_cut(char* dst, size_t cap, const char* src);
size_t copy_cut_w(wchar_t* dst, size_t cap, const wchar_t* src);

// Bounded narrow formatting: cuts at cap-1 bytes, always terminates.
// Returns nonzero when the whole text fitted.
int fmt_cut(char* dst, size_t cap, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define COPY_CUT(dst, src) copy_cut((dst), dimof(dst), (src))
#define COPY_CUT_W(dst, src) copy_cut_w((dst), dimof(dst), (src))
#define FMT_CUT(dst, ...) fmt_cut((dst), dimof(dst), __VA_ARGS__)
