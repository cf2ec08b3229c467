// SPDX-License-Identifier: BSD-2-Clause
// Turning a challenge line into its response, once the key is read.
#ifndef VELKIN_DRIVER_ANSWER_H
#define VELKIN_DRIVER_ANSWER_H

#include "base64.h"
#include "key.h"

// How a run ends; every value but answered and ready is a failure with its
// own line.
enum class outcome {
    answered,
    ready, // a step went well and the run goes on
    usage,
    unopenable_key,
    unreadable_key,
    bad_token_uri,
    unloadable_module,
    no_token_key,
    several_token_keys,
    token_login_failed,
    token_without_oaep,
    bad_challenge,
    decryption_error,
    out_of_memory,
    unwritable_response,
};

// Decodes the line, decrypts it with RSA-OAEP (SHA-1, MGF1 with SHA-1, empty
// label), in the token for a token key, hashes the plaintext with SHA-1 and encodes the digest. On success
// stores the 28-character response in *response; otherwise returns
// bad_challenge, decryption_error or out_of_memory. The plaintext and the
// digest are wiped before it returns, whatever the outcome.
outcome answer_challenge(user_key &key, const char *line, text_block *response);

#endif
