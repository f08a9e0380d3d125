// Signed setup lists on the maintainers' side: the signature line that
// make appends, the public key for the setup's build, and the check that
// check (and any command about to publish a list) makes, the setup's way.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "setuplist/list_signature.h"

// "sig " and the base64, a line feed, a terminator.
#define LIST_SIG_LINE_CAP (4 + LIST_SIG_TEXT + 2)

enum SigCheck {
  SIG_VERIFIED,      // signed, and one of the keys verifies it
  SIG_UNSIGNED,      // no signature line at the end
  SIG_MALFORMED,     // a last line that begins with "sig" but is no signature line
  SIG_NOT_VERIFIED,  // a signature that none of the keys verifies
  SIG_UNAVAILABLE,   // this build of the tool cannot verify signatures
};

// Judges text (len bytes) as a setup built with these keys (base64 points,
// already checked with decode_list_key) does; with no keys only whether it
// is signed (SIG_VERIFIED then means "signed, not verified"). On
// SIG_VERIFIED with keys, *which is the index of the key that verified it.
SigCheck check_list_signature(const char* text, size_t len, const char* const* keys,
                              int key_count, int* which);

// Words for a verdict, to follow "the list ".
const char* sig_check_words(SigCheck c);

// The signature line for text, made with the P-256 private key in the PEM
// file. Returns nonzero with line filled; zero with the reason in why.
int sign_list_text(const char* key_file, const char* text, size_t len,
                   char line[LIST_SIG_LINE_CAP], char* why, size_t why_cap);

// The public key of the private key in the PEM file, as the build takes it
// (base64 of the point). Zero with the reason in why.
int list_key_of_file(const char* key_file, char out[LIST_KEY_TEXT + 1], char* why, size_t why_cap);
