#include "exchange.h"

#include "console.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <openssl/sha.h>

#include <cstring>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

constexpr char response_prefix[] = "Response: /quote CHALLENGE +";

// A key file is a few kilobytes, even with a certificate chain ahead of the
// key; anything larger is no key file, and reading stops there.
constexpr size_t key_file_limit = 1 << 20;

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

// Reads the whole key file into text, which has room for key_file_limit
// bytes, and stores how many it holds in *size; false when the file cannot be
// read or is larger than any key file.
bool read_key_text(FILE *file, char *text, size_t *size)
{
    *size = 0;
    size_t got = 0;
    do {
        got = std::fread(text + *size, 1, key_file_limit - *size, file);
        *size += got;
    } while (got > 0 && *size < key_file_limit);
    return !std::ferror(file) && *size < key_file_limit;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The first PEM block whose label names a private key ("RSA PRIVATE KEY",
// "PRIVATE KEY", "ENCRYPTED PRIVATE KEY", but also "EC PRIVATE KEY"), from its
// BEGIN line to the end of the text. Whatever comes before it, a certificate
// or the attribute lines some tools write, is passed over, as OpenSSL's own
// PEM reader does; empty when there is no such block.
std::string_view find_private_key(std::string_view text)
{
    constexpr std::string_view begin = "-----BEGIN ";
    constexpr std::string_view label_end = "PRIVATE KEY-----";
    for (size_t at = text.find(begin); at != std::string_view::npos;
         at = text.find(begin, at + 1)) {
        if (at > 0 && text[at - 1] != '\n')
            continue;
        std::string_view line = text.substr(at, text.find('\n', at) - at);
        while (!line.empty() && is_blank(line.back()))
            line.remove_suffix(1);
        if (line.size() >= label_end.size()
            && line.substr(line.size() - label_end.size()) == label_end)
            return text.substr(at);
    }
    return {};
}

// Whether the key block is protected by a passphrase: PKCS#8 says so in its
// label, the older PKCS#1 form in a "Proc-Type: 4,ENCRYPTED" header.
bool is_protected(std::string_view block)
{
    return block.substr(0, block.find("-----END ")).find("ENCRYPTED") != std::string_view::npos;
}

// Keys written by older tools may be protected with single DES, RC2 or RC4,
// which OpenSSL keeps in its legacy provider. Loading that module costs about
// a twentieth of a whole run, so only protected keys, the only ones that can
// need it, pay for it. Where the machine lacks the module such keys cannot be
// decrypted and end in the key error. It stays loaded until the process ends.
void load_legacy_ciphers()
{
    OSSL_PROVIDER_try_load(nullptr, "legacy", 1);
}

// Decodes the first private key block in text, which must hold an RSA key.
key_handle decode_private_key(std::string_view text)
{
    const std::string_view block = find_private_key(text);
    if (block.empty())
        return nullptr;
    if (is_protected(block))
        load_legacy_ciphers();

    EVP_PKEY *loaded = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, decoder_free> decoder(OSSL_DECODER_CTX_new_for_pkey(
        &loaded, "PEM", nullptr, "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr));
    if (!decoder
        || OSSL_DECODER_CTX_set_pem_password_cb(decoder.get(), supply_passphrase, nullptr) != 1)
        return nullptr;
    // One decoding of one block, so the passphrase is asked for at most once.
    const auto *data = reinterpret_cast<const unsigned char *>(block.data());
    size_t length = block.size();
    const bool decoded = OSSL_DECODER_from_data(decoder.get(), &data, &length) == 1;
    key_handle key(loaded);
    if (!decoded || !key || EVP_PKEY_is_a(key.get(), "RSA") != 1)
        return nullptr;
    return key;
}

} // namespace

bool start_crypto()
{
    // Modules are looked for only where this libcrypto was built to keep
    // them, never where the OPENSSL_MODULES variable points. Loading the
    // default provider by name keeps it active once the legacy one joins.
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1)
        return false;
    const char *modules = OPENSSL_info(OPENSSL_INFO_MODULES_DIR);
    return modules != nullptr && OSSL_PROVIDER_set_default_search_path(nullptr, modules) == 1
        && OSSL_PROVIDER_load(nullptr, "default") != nullptr;
}

key_handle read_private_key(FILE *file)
{
    const std::unique_ptr<char[], heap_free> text(static_cast<char *>(std::malloc(key_file_limit)));
    if (!text)
        return nullptr;
    size_t size = 0;
    const bool complete = read_key_text(file, text.get(), &size);
    key_handle key = complete ? decode_private_key({text.get(), size}) : nullptr;
    // An unprotected key lies in the text as it is.
    OPENSSL_cleanse(text.get(), size);
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
