// UTF-8 beside wchar_t text: the setup's messages and folders are wide, the
// console and the list are narrow.
#pragma once
#include <stddef.h>

// Encodes wide text (UTF-16 where wchar_t has 16 bits, UTF-32 elsewhere)
// as UTF-8 into out, cut at a whole character before cap-1 bytes and always
// terminated. Unpaired surrogates become U+FFFD. Returns nonzero when all of
// it fitted.
int utf8_from_wide(const wchar_t* text, char* out, size_t cap);

// Decodes UTF-8 into wide text of the host's width. Malformed bytes become
// U+FFFD. Returns nonzero when all of it fitted; out is always terminated.
int wide_from_utf8(const char* text, wchar_t* out, size_t cap);
