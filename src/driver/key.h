// SPDX-License-Identifier: BSD-2-Clause
// The user's RSA private key, read from a key file with libcrypto started so
// that no configuration file or environment variable can change what it does,
// or kept in a hardware token.
#ifndef VELKIN_DRIVER_KEY_H
#define VELKIN_DRIVER_KEY_H

#include "token.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct pkey_free {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using key_handle = std::unique_ptr<EVP_PKEY, pkey_free>;

struct provider_unload {
    void operator()(OSSL_PROVIDER *provider) const { OSSL_PROVIDER_unload(provider); }
};
using provider_handle = std::unique_ptr<OSSL_PROVIDER, provider_unload>;

// Starts libcrypto without reading any configuration file and loads its
// default provider from libcrypto's own module folder, whatever the
// environment says. The provider serves as long as the handle lives; it must
// outlive every key. Null on failure.
provider_handle start_crypto();

// A key file is a few kilobytes, even with a certificate chain ahead of the
// key; a larger file is no key file, and is not read beyond this.
constexpr size_t key_file_limit = 1 << 20;

// What a key file held instead of a usable RSA private key, so that a
// person can be told why it was refused.
enum class key_finding {
    unknown, // nothing velkin knows as a key
    empty,
    openssh_key, // OpenSSH's own format
    other_type, // a private key of another type, named in type_name
    public_key,
    certificate, // a certificate without its private key
    damaged_key, // a private key block that does not decode
    oversized,   // more than key_file_limit bytes, so not read
    unreadable_file, // reading the file failed
};

struct key_report {
    key_finding finding = key_finding::unknown;
    const char *type_name = nullptr; // for other_type, with its article: "an EC"
};

// Reads an RSA private key from the PEM text in file: the first private key
// block, whatever precedes it (a UTF-8 byte order mark included), asking
// supply_passphrase for the passphrase at most once when the key is
// protected. Null when no RSA private key results: another key type, a
// damaged or oversized file, a wrong or missing passphrase, a file that
// cannot be read; then, if report is given, stores in it what the file held. The text read is wiped before
// it returns.
key_handle read_private_key(FILE *file, key_report *report = nullptr);

// Where the key lives: read from a file into memory, or in a token that
// decrypts inside itself.
enum class key_source { file, token };

struct user_key {
    key_source source = key_source::file;
    key_handle file_key;  // source file
    token_handle token;   // source token
    // When several tokens or keys fit a URI: the URI of each, to choose from.
    std::vector<std::string> candidates;
};

// Length of the key's modulus in bytes: every ciphertext for it is this long,
// and no OAEP plaintext is longer.
size_t modulus_bytes(const user_key &key);

#endif
