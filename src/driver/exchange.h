// One login exchange, from the command line to the exit status: read the key,
// read the challenge, decrypt it, hash the plaintext, print the response.
#ifndef VELKIN_DRIVER_EXCHANGE_H
#define VELKIN_DRIVER_EXCHANGE_H

#include "base64.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

// How a run ends; every value but answered is a failure with its own line.
enum class outcome {
    answered,
    usage,
    unopenable_key,
    unreadable_key,
    bad_challenge,
    decryption_error,
    out_of_memory,
    unwritable_response,
};

struct pkey_free {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using key_handle = std::unique_ptr<EVP_PKEY, pkey_free>;

// Starts libcrypto without reading any configuration file, so that no
// system or user setting can change what the tool does. False on failure.
bool start_crypto();

// Reads an RSA private key from PEM text in file, asking supply_passphrase
// for the passphrase when the key is protected. Null when no RSA private key
// results: another key type, a damaged file, a wrong or missing passphrase.
key_handle read_private_key(FILE *file);

// Turns a challenge line into its response: decode, RSA-OAEP decrypt, SHA-1,
// encode. On success stores the 28-character response in *response. The
// plaintext and the digest are wiped before it returns, whatever the outcome.
outcome answer_challenge(EVP_PKEY *key, const char *line, text_block *response);

// The whole run; returns the exit status, 0 or -1 (255 to the shell).
int run_exchange(int argc, char **argv);

#endif
