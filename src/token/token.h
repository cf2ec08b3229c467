// SPDX-License-Identifier: BSD-2-Clause
// RSA private keys that stay inside a hardware token (smart card, security
// key, HSM), named by a PKCS#11 URI (RFC 7512) and used through the token's
// PKCS#11 module. Nothing here knows of terminals: the PIN is asked for
// through the callback the caller hands in, and every failure is reported by
// the result alone.
#ifndef VELKIN_TOKEN_TOKEN_H
#define VELKIN_TOKEN_TOKEN_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// What opening or using a token key came to.
enum class token_status {
    ready,
    bad_uri,           // unparsable, unknown attribute, a PIN in it, not a private key
    module_unloadable, // p11-kit missing, the module-path module, no (such) registered module
    no_match,          // no initialized token, or no single RSA private key on it
    several_match,     // more than one token or key fits; never guess which
    login_failed,      // wrong, empty or locked PIN
    no_oaep,           // the token cannot decrypt RSA-OAEP with SHA-1 with this key
    decryption_error,  // wrong length, or the token refused the ciphertext
    out_of_memory,     // in p11-kit, or a module said so (CKR_HOST_MEMORY)
};

// Asks the user for the PIN of the token labelled token_label (blanks at its
// end removed). With on_reader false it places the PIN in buffer (size bytes)
// and returns how many bytes it placed, 0 for none. With on_reader true the
// token has its own PIN pad: the callback only tells the user to use it, and
// its result is not looked at.
using pin_supplier = int (*)(const char *token_label, bool on_reader, char *buffer, int size);

// An opened token key: the loaded modules, a session (logged in if the token
// needed it) and the key's object, ready to decrypt one ciphertext.
struct token_key;
struct token_key_close {
    void operator()(token_key *key) const; // logs out, closes, unloads
};
using token_handle = std::unique_ptr<token_key, token_key_close>;

// Whether argument names a token key rather than a key file.
bool names_token_key(const char *argument);

// Opens the one RSA private key that uri names. Loads p11-kit itself first,
// at this call and never before. Loads and starts the module of the URI's
// module-path (reading no module registry), or else reads p11-kit's registry
// and starts the module called module-name, or every registered module when
// the URI names none. An attribute RFC 7512 does not define, in the path or
// the query, is refused as bad_uri. Of the initialized tokens that match,
// exactly one must remain, if need be after looking at the objects each shows
// without a login; then it logs in once, with the PIN from supply_pin, only
// if the key cannot be used without, and prepares the decryption, with a
// second login by the same PIN for a key that wants one per use. The PIN is
// wiped before it returns. On several_match, candidates receives the URI of
// each token or key that fits, so that the user can name one.
token_status open_token_key(const char *uri, pin_supplier supply_pin, token_handle *key,
                            std::vector<std::string> *candidates);

// Length of the key's modulus in bytes: the length of every ciphertext for it
// and the most any plaintext can take. 0 when the token does not tell.
size_t token_modulus_bytes(const token_key &key);

// Decrypts ciphertext (count bytes) with RSA-OAEP, SHA-1, MGF1 with SHA-1 and
// an empty label inside the token, into plaintext, which has room for
// token_modulus_bytes bytes; stores the plaintext's length in *length. A
// ciphertext that is not as long as the modulus is refused before the token is
// asked. Once per opened key.
token_status decrypt_with_token(token_key &key, const unsigned char *ciphertext, size_t count,
                                unsigned char *plaintext, size_t *length);

#endif
