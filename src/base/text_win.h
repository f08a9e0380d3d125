// Bounded UTF-16 formatting and UTF-8 widening for the Windows side.
#pragma once
#include <stdarg.h>
#include <stddef.h>

#include "base/bounds.h"

// Formats with the CRT's wide printf (%ls wide, %hs narrow, %llu, %.*ls),
// cutting at cap-1 units; the result is always terminated.
void wfmt_cut_v(wchar_t* dst, size_t cap, const wchar_t* format, va_list ap);
void wfmt_cut(wchar_t* dst, size_t cap, const wchar_t* format, ...);
#define WFMT(dst, ...) wfmt_cut((dst), dimof(dst), __VA_ARGS__)

// Widens UTF-8 into at most cap-1 units; a text that does not fit is cut.
// Malformed bytes become U+FFFD. The result is always terminated.
void widen_utf8(wchar_t* dst, size_t cap, const char* src);
#define WIDEN(dst, src) widen_utf8((dst), dimof(dst), (src))

// Nonzero when text converts to the ANSI code page and back unchanged:
// what a program whose main takes narrow arguments would receive intact.
// Letters the code page lacks (which Windows would replace by look-alikes
// on the way) and texts longer than 1023 units give 0.
int survives_ansi(const wchar_t* text);
