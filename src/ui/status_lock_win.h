// The hand-over of g_status between the worker and the window thread.
#pragma once
#include "base/bounds.h"

// Copies the current status text whole; never a half-written one.
void copy_status(wchar_t (&out)[512]);
