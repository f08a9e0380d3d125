// trust_ca.exe <ca.der>: makes the Wine prefix trust the test CA, so that
// WinHTTP accepts the local release server with every certificate check on.
// The certificate goes into the ROOT store of the local machine and of the
// current user. Wine persists a system store to the prefix's registry only
// when the store is closed, so every opened store is closed, on every path.
// Only the prefix is touched: the Linux host's own trust store never is.
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

namespace {

// A CA certificate in DER is around a kilobyte; anything past this is not one.
const DWORD kMaxCertBytes = 64 * 1024;

struct Target {
  DWORD location;
  const char* name;
};

const Target kTargets[] = {
    {CERT_SYSTEM_STORE_LOCAL_MACHINE, "local machine"},
    {CERT_SYSTEM_STORE_CURRENT_USER, "current user"},
};

// Reads the whole file into buf. Returns the byte count, 0 on failure with
// the reason already printed.
DWORD read_cert(const wchar_t* path, BYTE* buf, DWORD cap) {
  DWORD got = 0;
  DWORD size = 0;
  LARGE_INTEGER li;
  HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "trust_ca: cannot open %ls (Windows error %lu)\n", path, GetLastError());
    return 0;
  }
  if (!GetFileSizeEx(f, &li)) {
    fprintf(stderr, "trust_ca: cannot size %ls (Windows error %lu)\n", path, GetLastError());
    goto out;
  }
  if (li.QuadPart <= 0 || li.QuadPart > cap) {
    fprintf(stderr, "trust_ca: %ls has %lld bytes, not a DER certificate\n", path,
            (long long)li.QuadPart);
    goto out;
  }
  size = (DWORD)li.QuadPart;
  // A short read is a failure, not a smaller certificate.
  if (!ReadFile(f, buf, size, &got, nullptr) || got != size) {
    fprintf(stderr, "trust_ca: cannot read %ls (Windows error %lu)\n", path, GetLastError());
    got = 0;
    goto out;
  }
out:
  CloseHandle(f);
  return got;
}

// Adds the certificate to one ROOT store and closes it. Returns 1 on success.
int add_to_root(const Target& t, const BYTE* der, DWORD len) {
  int ok = 0;
  DWORD err = 0;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, t.location, L"ROOT");
  if (!store) {
    err = GetLastError();
    fprintf(stderr, "trust_ca: cannot open the %s ROOT store (Windows error %lu)\n", t.name, err);
    return 0;
  }
  // Replacing keeps a rerun harmless and heals a stale copy of the same CA.
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, len,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    err = GetLastError();
    fprintf(stderr, "trust_ca: cannot add the CA to the %s ROOT store (Windows error %lu)\n",
            t.name, err);
  } else {
    ok = 1;
  }
  // The close is what writes the store to the registry: its failure is ours.
  if (!CertCloseStore(store, 0)) {
    err = GetLastError();
    fprintf(stderr, "trust_ca: cannot save the %s ROOT store (Windows error %lu)\n", t.name, err);
    ok = 0;
  }
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  static BYTE der[kMaxCertBytes];
  if (argc != 2) {
    fprintf(stderr, "usage: trust_ca.exe <ca.der>\n");
    return 2;
  }
  DWORD len = read_cert(argv[1], der, kMaxCertBytes);
  if (len == 0) return 1;

  // Parse first: a PEM file or a truncated download fails here with a clear
  // message instead of as an obscure store error.
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der, len);
  if (!cert) {
    fprintf(stderr, "trust_ca: %ls is not a DER X.509 certificate (Windows error %lu)\n", argv[1],
            GetLastError());
    return 1;
  }
  wchar_t subject[256];
  if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject,
                         ARRAYSIZE(subject)) <= 1) {
    subject[0] = L'?';
    subject[1] = 0;
  }
  CertFreeCertificateContext(cert);

  int failed = 0;
  for (const Target& t : kTargets) {
    if (!add_to_root(t, der, len)) failed = 1;
  }
  if (failed) return 1;
  printf("trust_ca: \"%ls\" added to the ROOT stores\n", subject);
  return 0;
}
