// Where a signed setup list keeps its signature, and which bytes it signs.
// No Windows header: the maintainers' tool reads lists with this too.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define LIST_SIG_BYTES 64  // ECDSA P-256 r || s, each 32 bytes big-endian
#define LIST_KEY_BYTES 65  // the public point: 04 || X || Y
#define LIST_SIG_TEXT 88   // base64 of LIST_SIG_BYTES
#define LIST_KEY_TEXT 88   // base64 of LIST_KEY_BYTES

enum ListSignature {
  LIST_SIG_FOUND,      // the last line is a well-formed signature line
  LIST_SIG_NONE,       // the last line is no signature line at all
  LIST_SIG_MALFORMED,  // it begins with "sig" but is not "sig " and the base64 of 64 bytes
};

// Looks at the last line of body (len bytes, zero bytes included): a signed
// list ends with "sig <base64>" and nothing after it but CR and LF. On
// LIST_SIG_FOUND, signed_len is the number of bytes before its "s" (what
// the signature covers) and sig holds the decoded signature.
ListSignature find_list_signature(const char* body, size_t len, size_t* signed_len,
                                  uint8_t sig[LIST_SIG_BYTES]);

// Decodes a public key in the form the build takes it (base64 of the
// uncompressed point). Nonzero only for 65 bytes that begin with 04.
int decode_list_key(const char* text, uint8_t key[LIST_KEY_BYTES]);
