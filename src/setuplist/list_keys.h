// The makers' public keys that a setup list's signature must verify with,
// set when the setup is built (BRISQUEL_LIST_KEYS). No Windows header.
#pragma once

#define LIST_KEY_SLOTS 2

// Base64 of each key's point; an empty text is an unused slot. With both
// empty the setup reads lists as it always has, signed or not.
extern const char* const g_list_keys[LIST_KEY_SLOTS];
