#!/usr/bin/env bash
# Makes the test CA and the release server's certificate in $1, once:
#   ca.pem ca.key ca.der   the CA (the DER form is what the Wine prefix trusts)
#   server.pem server.key  the server, for DNS:localhost, signed by the CA
# Wine's WinHTTP refuses certificates issued for IP addresses, so the name is
# localhost only. The files are made in a scratch directory and moved in
# last, so an interrupted run never leaves a CA without its server
# certificate (or a server certificate of another CA) behind.
set -euo pipefail
dir=${1:?usage: make_certs.sh <dir>}
files=(ca.pem ca.key ca.der server.pem server.key)

complete() {
  for f in "${files[@]}"; do [ -s "$dir/$f" ] || return 1; done
}
if complete; then exit 0; fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)   # the work below happens in a scratch directory
tmp=$(mktemp -d "$dir/.make_certs.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

# Long validity: the build tree may outlive a short-lived certificate, and a
# test that fails on an expired CA months later says nothing about the code.
openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
  -subj "/CN=Brisquel Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "subjectKeyIdentifier=hash" \
  -keyout ca.key -out ca.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der

openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=localhost" \
  -keyout server.key -out server.csr 2>/dev/null
cat > server.ext <<'EOF'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
EOF
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -days 3650 -sha256 -extfile server.ext -out server.pem 2>/dev/null
openssl verify -CAfile ca.pem server.pem >/dev/null

# Another run may have finished meanwhile; its set is as good as ours.
if complete; then exit 0; fi
for f in "${files[@]}"; do mv -f "$f" "$dir/$f"; done
