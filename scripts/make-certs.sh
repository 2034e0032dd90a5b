#!/usr/bin/env bash
# Makes the certificates for local use and for the tests, with EC keys:
#
#   ca.crt / ca.key                     the test CA (trust it as client CA)
#   server.crt / server.key             server certificate for localhost and
#                                       127.0.0.1, signed by the CA
#   client.crt / client.key             client certificate (clientAuth),
#                                       subject CN=wendrel operator
#   deployer.crt / deployer.key         a second client certificate, subject
#                                       CN=wendrel deployer, alternative name
#                                       DNS:deploy.example.net
#   auditor.crt / auditor.key           a third, CN=wendrel auditor, no
#                                       alternative name
#   server-only.crt / server-only.key   signed by the CA but meant for servers
#                                       only (serverAuth): no client credential
#   other-ca.crt / other-ca.key         a second, unrelated CA
#   other-client.crt / other-client.key client certificate of the second CA
#
# and, beside DIR (in its parent folder), wendrelctl.conf: the settings of
# wendrelctl(1) for a daemon on this host (https://127.0.0.1:8443) with
# these certificates, so that wendrelctl needs no options there.
#
# Usage: scripts/make-certs.sh DIR
# Files already present are kept, so running it again changes nothing.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 64
fi
dir=$1
mkdir -p "$dir"
cd "$dir"
umask 077
days=825
ext=$(mktemp)
trap 'rm -f "$ext" ./*.csr.tmp' EXIT

key() {  # key NAME
  [ -s "$1.key" ] || openssl genpkey -algorithm EC \
    -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null
}

ca() {  # ca NAME SUBJECT
  [ -s "$1.crt" ] && return
  key "$1"
  openssl req -x509 -new -key "$1.key" -subj "$2" -days "$days" -sha256 \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$1.crt"
}

leaf() {  # leaf NAME ISSUER SUBJECT EXTENSIONS
  [ -s "$1.crt" ] && return
  key "$1"
  printf '%b\n' "$4" > "$ext"
  openssl req -new -key "$1.key" -subj "$3" -out "$1.csr.tmp"
  openssl x509 -req -in "$1.csr.tmp" -CA "$2.crt" -CAkey "$2.key" \
    -CAcreateserial -CAserial "$2.srl" -days "$days" -sha256 \
    -extfile "$ext" -out "$1.crt" 2>/dev/null
  rm -f "$1.csr.tmp"
}

leaf_ext='basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature'

ca ca "/CN=wendrel test CA"
leaf server ca "/CN=localhost" \
  "$leaf_ext\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost,IP:127.0.0.1"
leaf client ca "/CN=wendrel operator" "$leaf_ext\nextendedKeyUsage=clientAuth"
leaf deployer ca "/CN=wendrel deployer" \
  "$leaf_ext\nextendedKeyUsage=clientAuth\nsubjectAltName=DNS:deploy.example.net"
leaf auditor ca "/CN=wendrel auditor" "$leaf_ext\nextendedKeyUsage=clientAuth"
leaf server-only ca "/CN=server only" \
  "$leaf_ext\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost"
ca other-ca "/CN=unrelated CA"
leaf other-client other-ca "/CN=stranger" "$leaf_ext\nextendedKeyUsage=clientAuth"

# Keys stay private to the owner; certificates are public.
chmod 600 ./*.key
chmod 644 ./*.crt

# wendrelctl's client file; its paths are relative to its own folder.
ctl=$(dirname "$PWD")/wendrelctl.conf
if [ ! -e "$ctl" ]; then
  name=$(basename "$PWD")
  cat > "$ctl" <<EOF
# wendrelctl's settings (see wendrelctl(1)); paths relative to this file.
url = https://127.0.0.1:8443
cacert = $name/ca.crt
cert = $name/client.crt
key = $name/client.key
EOF
  chmod 644 "$ctl"
fi
