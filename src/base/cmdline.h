// The process's argument text, shared by every module that reads options.
#pragma once
#include <stddef.h>

// Argument text of the command line: at most 2047 units, the last unit is
// never written. Options are found in it by case-sensitive substring search.
extern wchar_t g_cmdline[2048];

// Fills g_cmdline from the entry's argument text (null counts as empty).
void set_cmdline(const wchar_t* text);

// Position of the first occurrence of needle in g_cmdline, or -1.
long cmdline_find(const wchar_t* needle);

// Cuts the first occurrence of needle out of g_cmdline in place (the text
// after it moves up). Returns nonzero when it was found.
int cmdline_cut(const wchar_t* needle);
