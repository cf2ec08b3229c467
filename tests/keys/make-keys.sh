#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Makes the committed test keys. Run from anywhere; it makes only the files
# that are missing, so the committed keys stay as they are (delete a file to
# make it anew, and the files made from it with it). The keys are fixtures for
# the test suite and the benchmark only and protect nothing.
set -eu
cd "$(dirname "$0")"

# Passphrase of every protected fixture.
pass=velkin-test

missing() { [ ! -e "$1" ]; }

rsa() { # name bits: unprotected PKCS#1 key and its public half
    if missing "$1.pem"; then
        openssl genrsa -traditional -out "$1.pem" "$2" 2>/dev/null
        openssl rsa -in "$1.pem" -pubout -out "$1.pub.pem" 2>/dev/null
    fi
}

# One key per size, unprotected PKCS#1 ("BEGIN RSA PRIVATE KEY").
rsa rsa1024 1024
rsa rsa2048 2048
rsa rsa3072 3072
rsa rsa4096 4096
rsa rsa8192 8192
# A second key, to make challenges the first cannot open.
rsa other2048 2048

# The 2048-bit key in every other form a user may hold it; all share its
# public half, rsa2048.pub.pem.
traditional() { # name cipher [provider options]: PKCS#1 with a PEM cipher header
    name=$1 cipher=$2
    shift 2
    missing "$name.pem" || return 0
    openssl rsa -in rsa2048.pem "$cipher" -traditional "$@" -passout "pass:$pass" \
        -out "$name.pem" 2>/dev/null
}
traditional rsa2048-aes256 -aes256
traditional rsa2048-aes128 -aes128
traditional rsa2048-des3 -des3
# Single DES needs OpenSSL 3's legacy provider, as reading it does.
traditional rsa2048-des -des -provider legacy -provider default

pkcs8() { # name [options]: PKCS#8 ("BEGIN PRIVATE KEY" or "BEGIN ENCRYPTED PRIVATE KEY")
    name=$1
    shift
    missing "$name.pem" || return 0
    openssl pkcs8 -topk8 -in rsa2048.pem "$@" -out "$name.pem" 2>/dev/null
}
pkcs8 rsa2048-pkcs8 -nocrypt
pkcs8 rsa2048-pkcs8-pbes2 -v2 aes-256-cbc -passout "pass:$pass"
pkcs8 rsa2048-pkcs8-pbes1 -v1 PBE-SHA1-3DES -passout "pass:$pass"
pkcs8 rsa2048-pkcs8-scrypt -scrypt -passout "pass:$pass"
# What OpenSSL 1.0 wrote by default: PBES1 with MD5 and single DES.
pkcs8 rsa2048-pkcs8-md5-des -v1 PBE-MD5-DES -passout "pass:$pass" \
    -provider legacy -provider default

# Files that hold the key among other PEM blocks or text.
if missing rsa2048-cert.pem; then
    openssl req -x509 -new -key rsa2048.pem -subj /CN=velkin-test -days 36500 \
        -out rsa2048-cert.pem 2>/dev/null
fi
missing rsa2048-after-cert.pem && cat rsa2048-cert.pem rsa2048.pem > rsa2048-after-cert.pem
missing rsa2048-aes256-after-cert.pem &&
    cat rsa2048-cert.pem rsa2048-aes256.pem > rsa2048-aes256-after-cert.pem
missing rsa2048-before-cert.pem && cat rsa2048.pem rsa2048-cert.pem > rsa2048-before-cert.pem
# As some Windows editors save it: a UTF-8 byte order mark, then the key.
missing rsa2048-bom.pem && { printf '\357\273\277'; cat rsa2048.pem; } > rsa2048-bom.pem
if missing rsa2048-after-text.pem; then
    { printf 'Bag Attributes\n    friendlyName: velkin-test\nKey Attributes: <No Attributes>\n'
      cat rsa2048-pkcs8.pem; } > rsa2048-after-text.pem
fi

# Files that hold no RSA private key, each to be refused.
if missing ec.pem; then
    openssl ecparam -name prime256v1 -genkey -out ec.pem 2>/dev/null # parameters, then the key
fi
missing ed25519.pem && openssl genpkey -algorithm ed25519 -out ed25519.pem 2>/dev/null
missing empty.pem && : > empty.pem
missing truncated.pem && head -c 900 rsa2048.pem > truncated.pem
missing random.bin && head -c 2048 /dev/urandom > random.bin
# An RSA key in OpenSSH's own format, which velkin does not read (made with
# ssh-keygen, of the openssh-client package).
if missing openssh-rsa.key; then
    ssh-keygen -q -t rsa -b 2048 -N '' -C velkin-fixture -f openssh-rsa.key
    rm -f openssh-rsa.key.pub
fi
# A certificate first, then a key that is not RSA: the first private key decides.
missing ec-after-cert.pem && cat rsa2048-cert.pem ec.pem > ec-after-cert.pem
exit 0
