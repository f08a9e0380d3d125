// HTTPS requests through libcurl, for publish (native build only). One
// attempt per call: retries are the caller's, with retry_rule.h. TLS is
// always verified; the token, when a call wants it, goes out only in the
// Authorization header and is never written anywhere else.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "retry_rule.h"
#include "sha256.h"

struct HttpCall {
  const char* method;        // "GET", "POST", "PATCH" or "DELETE"
  const char* url;
  const char* accept;        // Accept header, or null
  int with_token;            // send the Authorization header
  const char* json;          // request body (application/json), or null
  FILE* upload;              // or a file body, sent from its start
  uint64_t upload_size;
  const char* progress_name; // shown on stderr while uploading
  Sha256* hash;              // the answer's body goes into this hash (and
  uint64_t* hashed;          //   its length here) instead of memory
};

struct HttpAnswer {
  AnswerSigns signs;         // status 0 when no answer arrived
  char* body;                // the answer's body, zero-terminated (not with hash)
  size_t len;
  char error[256];           // libcurl's words when no answer arrived
};

// Once per run. token: the header's credential (may be null). The CA file
// comes from CURL_CA_BUNDLE, else SSL_CERT_FILE, else the system's roots.
// Zero when libcurl cannot start.
int http_start(const char* token);
void http_stop();

// Sends one request. Nonzero when an answer (any status) arrived.
int http_call(const HttpCall* call, HttpAnswer* out);
void http_answer_free(HttpAnswer* a);
