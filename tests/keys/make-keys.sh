#!/bin/sh
# Makes the committed test keys. Run once, from this folder; the keys are
# fixtures for the test suite only and protect nothing.
set -eu
cd "$(dirname "$0")"

# Passphrase of every protected fixture.
pass=velkin-test

rsa() { # name bits: unprotected PKCS#1 key and its public half
    openssl genrsa -traditional -out "$1.pem" "$2" 2>/dev/null
    openssl rsa -in "$1.pem" -pubout -out "$1.pub.pem" 2>/dev/null
}

rsa rsa2048 2048
rsa rsa8192 8192
# The same key, protected by a passphrase.
openssl rsa -in rsa2048.pem -aes256 -traditional -passout "pass:$pass" \
    -out rsa2048-aes256.pem 2>/dev/null
# A second key, to make challenges the first cannot open.
rsa other2048 2048
