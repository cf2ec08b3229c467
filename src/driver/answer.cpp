// SPDX-License-Identifier: BSD-2-Clause
#include "answer.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct pkey_ctx_free {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};

// RSA-OAEP with SHA-1, MGF1 with SHA-1 and an empty label.
bool decrypt_oaep(EVP_PKEY *key, const unsigned char *ciphertext, int32_t count,
                  unsigned char *plaintext, size_t *length)
{
    char pad_mode[] = OSSL_PKEY_RSA_PAD_MODE_OAEP;
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_ASYM_CIPHER_PARAM_PAD_MODE, pad_mode, 0),
        OSSL_PARAM_construct_utf8_string(OSSL_ASYM_CIPHER_PARAM_OAEP_DIGEST, digest, 0),
        OSSL_PARAM_construct_utf8_string(OSSL_ASYM_CIPHER_PARAM_MGF1_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    std::unique_ptr<EVP_PKEY_CTX, pkey_ctx_free> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    return context && EVP_PKEY_decrypt_init_ex(context.get(), params) == 1
        && EVP_PKEY_decrypt(context.get(), plaintext, length, ciphertext,
                            static_cast<size_t>(count)) == 1;
}

outcome decrypt(user_key &key, const unsigned char *ciphertext, int32_t count,
                unsigned char *plaintext, size_t *length)
{
    if (key.source == key_source::token) {
        const token_status decrypted = decrypt_with_token(
            *key.token, ciphertext, static_cast<size_t>(count), plaintext, length);
        if (decrypted == token_status::out_of_memory)
            return outcome::out_of_memory;
        return decrypted == token_status::ready ? outcome::ready : outcome::decryption_error;
    }
    return decrypt_oaep(key.file_key.get(), ciphertext, count, plaintext, length)
        ? outcome::ready
        : outcome::decryption_error;
}

// Decrypts into a buffer as large as the key's modulus, which no OAEP
// plaintext can outgrow, and hashes exactly the bytes decrypted.
outcome digest_plaintext(user_key &key, const unsigned char *ciphertext, int32_t count,
                         unsigned char (&digest)[SHA_DIGEST_LENGTH])
{
    std::vector<unsigned char> plaintext(modulus_bytes(key));
    size_t length = plaintext.size();
    outcome digested = decrypt(key, ciphertext, count, plaintext.data(), &length);
    if (digested == outcome::ready
        && EVP_Digest(plaintext.data(), length, digest, nullptr, EVP_sha1(), nullptr) != 1)
        digested = outcome::decryption_error;
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return digested;
}

} // namespace

outcome answer_challenge(user_key &key, const char *line, text_block *response)
{
    const size_t length = std::strlen(line);
    if (length >= INT32_MAX)
        return outcome::bad_challenge;
    int32_t count = 0;
    // The decoder fails for a malformed end or for want of memory, which the
    // C library's allocator tells by errno.
    errno = 0;
    byte_block ciphertext = decode_base64(line, static_cast<int32_t>(length), &count);
    if (!ciphertext)
        return errno == ENOMEM ? outcome::out_of_memory : outcome::bad_challenge;

    unsigned char digest[SHA_DIGEST_LENGTH];
    const outcome digested = digest_plaintext(key, ciphertext.get(), count, digest);
    if (digested == outcome::ready)
        *response = encode_base64(digest, sizeof digest);
    // A failed digest may have left part of its result behind.
    OPENSSL_cleanse(digest, sizeof digest);
    if (digested != outcome::ready)
        return digested;
    return *response ? outcome::answered : outcome::out_of_memory;
}
