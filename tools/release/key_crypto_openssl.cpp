#include "key_crypto.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include "base/bounds.h"
#include "file_io.h"

const char* const kNoKeyCrypto = nullptr;

// A P-256 private key from a PEM file (as openssl ecparam -genkey or
// genpkey write it), or null with the reason in why.
static EVP_PKEY* read_key(const char* key_file, char* why, size_t why_cap) {
  char* pem = NULL;
  size_t len = 0;
  ReadResult rr = read_whole_file(key_file, 1u << 20, &pem, &len);
  if (rr != READ_OK) {
    fmt_cut(why, why_cap, "%s: %s", key_file, rr == READ_TOO_BIG ? "too large for a key file"
                                                                 : strerror(errno));
    return NULL;
  }
  BIO* bio = BIO_new_mem_buf(pem, (int)len);
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, NULL, NULL, NULL) : NULL;
  BIO_free(bio);
  free(pem);
  char group[32] = "";
  size_t group_len = 0;
  if (key && (!EVP_PKEY_is_a(key, "EC") ||
              !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                              sizeof group, &group_len) ||
              strcmp(group, "prime256v1") != 0)) {
    fmt_cut(why, why_cap, "%s: not a P-256 (prime256v1) EC key%s%s", key_file,
            group[0] ? ": its curve is " : "", group);
    EVP_PKEY_free(key);
    return NULL;
  }
  if (!key)
    fmt_cut(why, why_cap, "%s: no PEM private key in it (make one with: openssl ecparam -name "
                          "prime256v1 -genkey -noout -out KEY.pem)", key_file);
  return key;
}

int key_file_point(const char* key_file, uint8_t point[LIST_KEY_BYTES], char* why, size_t why_cap) {
  EVP_PKEY* key = read_key(key_file, why, why_cap);
  if (!key) return 0;
  size_t len = 0;
  // A key file may hold its point compressed: ask for the uncompressed form.
  int ok = EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                          "uncompressed") &&
           EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, LIST_KEY_BYTES,
                                           &len) &&
           len == LIST_KEY_BYTES && point[0] == 0x04;
  if (!ok) fmt_cut(why, why_cap, "%s: cannot read its public point", key_file);
  EVP_PKEY_free(key);
  return ok;
}

int key_file_sign(const char* key_file, const void* data, size_t len, uint8_t sig[LIST_SIG_BYTES],
                  char* why, size_t why_cap) {
  EVP_PKEY* key = read_key(key_file, why, why_cap);
  if (!key) return 0;
  unsigned char der[128];
  size_t der_len = sizeof der;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  ECDSA_SIG* parsed = NULL;
  int ok = md && EVP_DigestSignInit(md, NULL, EVP_sha256(), NULL, key) == 1 &&
           EVP_DigestSign(md, der, &der_len, (const unsigned char*)data, len) == 1;
  // The signature travels as r || s, not in the DER form openssl writes.
  const unsigned char* p = der;
  if (ok) parsed = d2i_ECDSA_SIG(NULL, &p, (long)der_len);
  ok = parsed && BN_bn2binpad(ECDSA_SIG_get0_r(parsed), sig, 32) == 32 &&
       BN_bn2binpad(ECDSA_SIG_get0_s(parsed), sig + 32, 32) == 32;
  if (!ok) fmt_cut(why, why_cap, "%s: signing failed", key_file);
  ECDSA_SIG_free(parsed);
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
  return ok;
}

int point_verifies(const uint8_t point[LIST_KEY_BYTES], const void* data, size_t len,
                   const uint8_t sig[LIST_SIG_BYTES]) {
  OSSL_PARAM params[] = {
      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, (char*)"prime256v1", 0),
      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, (void*)point, LIST_KEY_BYTES),
      OSSL_PARAM_END};
  EVP_PKEY* key = NULL;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(NULL, "EC", NULL);
  // Importing decodes the point, which refuses one off the curve.
  int ok = ctx && EVP_PKEY_fromdata_init(ctx) == 1 &&
           EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
  EVP_PKEY_CTX_free(ctx);
  ECDSA_SIG* s = ok ? ECDSA_SIG_new() : NULL;
  BIGNUM* r = BN_bin2bn(sig, 32, NULL);
  BIGNUM* ss = BN_bin2bn(sig + 32, 32, NULL);
  unsigned char* der = NULL;
  int der_len = 0;
  if (s && r && ss && ECDSA_SIG_set0(s, r, ss) == 1) {
    r = ss = NULL;  // owned by s now
    der_len = i2d_ECDSA_SIG(s, &der);
  }
  ok = ok && der_len > 0;
  EVP_MD_CTX* md = ok ? EVP_MD_CTX_new() : NULL;
  ok = md && EVP_DigestVerifyInit(md, NULL, EVP_sha256(), NULL, key) == 1 &&
       EVP_DigestVerify(md, der, (size_t)der_len, (const unsigned char*)data, len) == 1;
  EVP_MD_CTX_free(md);
  OPENSSL_free(der);
  BN_free(r);
  BN_free(ss);
  ECDSA_SIG_free(s);
  EVP_PKEY_free(key);
  return ok;
}
