#include "exchange.h"

#include "console.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/params.h>
#include <openssl/sha.h>

#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

constexpr char response_prefix[] = "Response: /quote CHALLENGE +";

struct file_close {
    void operator()(FILE *file) const { std::fclose(file); }
};
struct decoder_free {
    void operator()(OSSL_DECODER_CTX *decoder) const { OSSL_DECODER_CTX_free(decoder); }
};
struct pkey_ctx_free {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};

const char *message_of(outcome result)
{
    switch (result) {
    case outcome::usage:
        return "Error: Usage: velkin privatefile";
    case outcome::unopenable_key:
        return "Error: Could not open the private keyfile.";
    case outcome::unreadable_key:
        return "Error: Unable to read your private key, is the passphrase wrong?";
    case outcome::bad_challenge:
        return "Error: Bad challenge.";
    case outcome::decryption_error:
        return "Error: Decryption error.";
    case outcome::out_of_memory:
        return "Error: Out of memory.";
    default:
        return nullptr;
    }
}

// The only place a failure becomes a message and a status.
int fail(outcome result)
{
    if (const char *message = message_of(result)) {
        std::puts(message);
        std::fflush(stdout);
    }
    return -1;
}

bool is_interactive()
{
    return isatty(fileno(stdin)) == 1;
}

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

// Decrypts into a buffer as large as the key's modulus, which no OAEP
// plaintext can outgrow, and hashes exactly the bytes decrypted.
bool digest_plaintext(EVP_PKEY *key, const unsigned char *ciphertext, int32_t count,
                      unsigned char (&digest)[SHA_DIGEST_LENGTH])
{
    std::vector<unsigned char> plaintext(static_cast<size_t>(EVP_PKEY_get_size(key)));
    size_t length = plaintext.size();
    const bool digested = decrypt_oaep(key, ciphertext, count, plaintext.data(), &length)
        && EVP_Digest(plaintext.data(), length, digest, nullptr, EVP_sha1(), nullptr) == 1;
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    return digested;
}

// Shows the response; a response that cannot be written is a failure, since
// the user would otherwise be left without it and a script told all is well.
bool write_response(const char *response)
{
    if (is_interactive())
        std::fwrite(response_prefix, 1, sizeof response_prefix - 1, stderr);
    const bool written = std::puts(response) != EOF;
    const bool flushed = std::fflush(stdout) == 0;
    std::fflush(nullptr);
    return written && flushed;
}

} // namespace

bool start_crypto()
{
    return OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
}

key_handle read_private_key(FILE *file)
{
    EVP_PKEY *loaded = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, decoder_free> decoder(OSSL_DECODER_CTX_new_for_pkey(
        &loaded, "PEM", nullptr, "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr));
    if (!decoder
        || OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), supply_passphrase, nullptr) != 1)
        return nullptr;
    const bool decoded = OSSL_DECODER_from_fp(decoder.get(), file) == 1;
    key_handle key(loaded);
    if (!decoded || !key || EVP_PKEY_is_a(key.get(), "RSA") != 1)
        return nullptr;
    return key;
}

outcome answer_challenge(EVP_PKEY *key, const char *line, text_block *response)
{
    const size_t length = std::strlen(line);
    if (length >= INT32_MAX)
        return outcome::bad_challenge;
    int32_t count = 0;
    byte_block ciphertext = decode_base64(line, static_cast<int32_t>(length), &count);
    if (!ciphertext)
        return outcome::bad_challenge;

    unsigned char digest[SHA_DIGEST_LENGTH];
    const bool digested = digest_plaintext(key, ciphertext.get(), count, digest);
    if (digested)
        *response = encode_base64(digest, sizeof digest);
    // A failed digest may have left part of its result behind.
    OPENSSL_cleanse(digest, sizeof digest);
    if (!digested)
        return outcome::decryption_error;
    return *response ? outcome::answered : outcome::out_of_memory;
}

int run_exchange(int argc, char **argv)
{
    if (argc <= 1)
        return fail(outcome::usage);
    if (!start_crypto())
        return fail(outcome::unreadable_key);

    std::unique_ptr<FILE, file_close> key_file(std::fopen(argv[1], "r"));
    if (!key_file)
        return fail(outcome::unopenable_key);
    const key_handle key = read_private_key(key_file.get());
    key_file.reset();
    if (!key)
        return fail(outcome::unreadable_key);

    // Only now is it known whether a piped passphrase line still waits.
    const char *line = fetch_challenge(stdin);
    text_block response;
    const outcome answered = answer_challenge(key.get(), line, &response);
    if (answered != outcome::answered)
        return fail(answered);

    const bool shown = write_response(response.get());
    OPENSSL_cleanse(response.get(), std::strlen(response.get()));
    return shown ? 0 : fail(outcome::unwritable_response);
}
