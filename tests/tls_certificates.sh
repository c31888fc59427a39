#!/usr/bin/env bash
# Makes throw-away certificates for HTTPS tests and measurements in DIR:
#   ca.pem                      a certificate authority made here and now
#   server.pem, server.key      for localhost, 127.0.0.1 and ::1, signed by it
#   stranger.pem, stranger.key  for the same names, signed by another authority
#   othername.pem, othername.key  signed by the first authority for another name
# The authorities' keys are deleted at the end, so nothing else can be signed.
#
#   tests/tls_certificates.sh DIR
set -euo pipefail
dir=${1:?usage: tls_certificates.sh DIR}
mkdir -p "$dir"
cd "$dir"

authority() {  # name
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=Wayloom test authority $1" -keyout "$1.key" -out "$1.pem" 2>/dev/null
}

leaf() {  # name authority subjectAltName
    openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -subj "/CN=$1" -keyout "$1.key" -out "$1.csr" 2>/dev/null
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 2 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

authority ca
authority otherca
leaf server ca "DNS:localhost,IP:127.0.0.1,IP:::1"
leaf stranger otherca "DNS:localhost,IP:127.0.0.1,IP:::1"
leaf othername ca "DNS:other.example"
rm -f ca.key otherca.key otherca.pem ./*.srl
