#!/usr/bin/env bash
# Signs the release exe with Authenticode (SHA-256) through osslsigncode.
#
#   scripts/sign.sh --cert CERT.pem --key KEY.pem [--timestamp URL] IN.exe OUT.exe
#   scripts/sign.sh --pfx FILE.p12 [--timestamp URL] IN.exe OUT.exe
#
# A passphrase (of the PKCS#12 file or of an encrypted key) is read only
# from the environment variable BRISQUEL_SIGN_PASS and handed to the tool on
# its standard input, never on a command line where other users could see
# it. IN.exe is left as it is: the unsigned build stays the reproducible one.
set -euo pipefail
name="Brisquel Builder setup"

die() { echo "sign.sh: $*" >&2; exit 1; }
usage() {
  echo "usage: scripts/sign.sh (--cert CERT.pem --key KEY.pem | --pfx FILE.p12) [--timestamp URL] IN.exe OUT.exe" >&2
  exit 2
}

cert= key= pfx= timestamp=
files=()
while [ $# -gt 0 ]; do
  case $1 in
    --cert) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
    --key) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
    --pfx) [ $# -ge 2 ] || usage; pfx=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || usage; timestamp=$2; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "sign.sh: unknown option $1" >&2; usage ;;
    *) files+=("$1"); shift ;;
  esac
done
[ ${#files[@]} -eq 2 ] || usage
in=${files[0]} out=${files[1]}
command -v osslsigncode >/dev/null ||
  die "osslsigncode is not installed (Debian: apt-get install osslsigncode, or run scripts/deps.sh)"

if [ -n "$pfx" ]; then
  [ -z "$cert$key" ] || die "give either --pfx or --cert with --key, not both"
  [ -f "$pfx" ] || die "no PKCS#12 file at $pfx"
  signer=(-pkcs12 "$pfx")
else
  [ -n "$cert" ] || die "no certificate: give --cert CERT.pem --key KEY.pem, or --pfx FILE.p12"
  [ -n "$key" ] || die "no key: --cert needs --key KEY.pem"
  [ -f "$cert" ] || die "no certificate file at $cert"
  [ -f "$key" ] || die "no key file at $key"
  signer=(-certs "$cert" -key "$key")
fi
[ -f "$in" ] || die "no exe to sign at $in"
[ "$(realpath -m "$in")" != "$(realpath -m "$out")" ] || die "OUT.exe must differ from IN.exe"

extra=()
[ -z "$timestamp" ] || extra+=(-ts "$timestamp")
tmp="$out.signing.$$"
trap 'rm -f "$tmp"' EXIT
# The passphrase travels on stdin (printf is a shell builtin: no process
# ever has it in its arguments).
[ -z "${BRISQUEL_SIGN_PASS:-}" ] || extra+=(-readpass -)
if ! printf '%s' "${BRISQUEL_SIGN_PASS:-}" |
     osslsigncode sign "${signer[@]}" -h sha256 -n "$name" "${extra[@]}" \
       -in "$in" -out "$tmp" >/dev/null; then
  die "osslsigncode could not sign $in (wrong passphrase in BRISQUEL_SIGN_PASS, a key that does not match the certificate, or an unreachable timestamp server?)"
fi
mv -f "$tmp" "$out"
trap - EXIT
echo "signed: $out ($(stat -c %s "$out") bytes)"
