// Built on its own with the keys of the build (cmake/list_keys.cmake), so
// that changing them rebuilds this file alone. A program that links its
// own definition of g_list_keys before the setup's libraries (the tests'
// keyed setup) keeps this object out of the link.
#include "setuplist/list_keys.h"

#ifndef BRISQUEL_LIST_KEY_1
#define BRISQUEL_LIST_KEY_1 ""
#endif
#ifndef BRISQUEL_LIST_KEY_2
#define BRISQUEL_LIST_KEY_2 ""
#endif

const char* const g_list_keys[LIST_KEY_SLOTS] = {BRISQUEL_LIST_KEY_1, BRISQUEL_LIST_KEY_2};
