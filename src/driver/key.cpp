// SPDX-License-Identifier: BSD-2-Clause
#include "key.h"

#include "base64.h"
#include "console.h"
#include "hardening.h"

#include <openssl/crypto.h>
#include <openssl/decoder.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// No clean-up of libcrypto at exit: the run frees its key and wipes its
// secrets itself, and the exit returns everything else, whereas freeing (and
// so wiping) libcrypto's thousands of blocks would cost a twentieth of a run.
// Builds with sanitizers keep it, so that their leak check finds all freed.
#if defined(VELKIN_EXIT_CLEANUP)
constexpr uint64_t exit_cleanup = 0;
#else
constexpr uint64_t exit_cleanup = OPENSSL_INIT_NO_ATEXIT;
#endif

struct decoder_free {
    void operator()(OSSL_DECODER_CTX *decoder) const { OSSL_DECODER_CTX_free(decoder); }
};

// One byte more than any key file may hold: reading it tells an oversized
// file from one of exactly the limit.
constexpr size_t key_text_room = key_file_limit + 1;

// Reads the whole key file into text, which has room for key_text_room
// bytes, and stores how many it holds in *size; false when the file cannot be
// read.
bool read_key_text(FILE *file, char *text, size_t *size)
{
    *size = 0;
    size_t got = 0;
    do {
        got = std::fread(text + *size, 1, key_text_room - *size, file);
        *size += got;
    } while (got > 0 && *size < key_text_room);
    return !std::ferror(file);
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

// Decodes the first private key block in text, which must hold an RSA key.
key_handle decode_private_key(std::string_view text)
{
    const std::string_view block = find_private_key(text);
    if (block.empty())
        return nullptr;
    // Keys written by older tools may be protected with single DES, RC2 or
    // RC4, which OpenSSL keeps in its legacy module. Loading it costs about a
    // twentieth of a whole run, so only protected keys, the only ones that
    // can need it, pay for it. Where the machine lacks the module such keys
    // cannot be decrypted and end in the key error.
    const provider_handle legacy(
        is_protected(block) ? OSSL_PROVIDER_try_load(nullptr, "legacy", 1) : nullptr);

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

// The key types a user may mistake for RSA, as a person names them.
constexpr struct {
    const char *openssl;
    const char *named; // with its article
} key_type_names[] = {
    {"EC", "an EC"}, {"ED25519", "an Ed25519"}, {"ED448", "an Ed448"}, {"DSA", "a DSA"},
    {"X25519", "an X25519"}, {"X448", "an X448"}, {"DH", "a DH"}, {"SM2", "an SM2"},
    {"RSA-PSS", "an RSA-PSS"},
};

// The type of an unprotected private key block decoded as any key type, so
// that no passphrase is ever asked for; null when it does not decode or its
// type has no name here.
const char *type_of_key(std::string_view block)
{
    EVP_PKEY *loaded = nullptr;
    std::unique_ptr<OSSL_DECODER_CTX, decoder_free> decoder(OSSL_DECODER_CTX_new_for_pkey(
        &loaded, "PEM", nullptr, nullptr, EVP_PKEY_KEYPAIR, nullptr, nullptr));
    const auto *data = reinterpret_cast<const unsigned char *>(block.data());
    size_t length = block.size();
    if (!decoder || OSSL_DECODER_from_data(decoder.get(), &data, &length) != 1)
        return nullptr;
    const key_handle key(loaded);
    for (const auto &name : key_type_names)
        if (key && EVP_PKEY_is_a(key.get(), name.openssl) == 1)
            return name.named;
    return nullptr;
}

bool holds(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

// What the text held, when no RSA private key came of it.
key_report describe_key_text(std::string_view text)
{
    key_report report;
    const std::string_view block = find_private_key(text);
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        report.finding = key_finding::empty;
    else if (holds(block.substr(0, block.find('\n')), "OPENSSH PRIVATE KEY"))
        report.finding = key_finding::openssh_key;
    else if (!block.empty() && !is_protected(block)
             && (report.type_name = type_of_key(block)) != nullptr)
        report.finding = key_finding::other_type;
    else if (!block.empty())
        report.finding = key_finding::damaged_key;
    else if (holds(text, "-----BEGIN PUBLIC KEY-----")
             || holds(text, "-----BEGIN RSA PUBLIC KEY-----")
             || holds(text, "-----BEGIN SSH2 PUBLIC KEY-----") || text.substr(0, 4) == "ssh-")
        report.finding = key_finding::public_key;
    else if (holds(text, "-----BEGIN CERTIFICATE-----"))
        report.finding = key_finding::certificate;
    return report;
}

// Decodes the key in text, passing over a UTF-8 byte order mark as some
// editors write one, with the secure heap sized for it; on failure stores in
// report, if given, what the text held.
key_handle decode_key_text(std::string_view text, key_report *report)
{
    reserve_key_memory(text.size());
    constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
    if (text.substr(0, byte_order_mark.size()) == byte_order_mark)
        text.remove_prefix(byte_order_mark.size());
    key_handle key = decode_private_key(text);
    if (!key && report != nullptr)
        *report = describe_key_text(text);
    return key;
}

} // namespace

provider_handle start_crypto()
{
    if (OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG | exit_cleanup, nullptr) != 1)
        return nullptr;
    // Modules are looked for only where this libcrypto was built to keep
    // them, never where the OPENSSL_MODULES variable points. Loading the
    // default provider by name keeps it active once the legacy one joins.
    const char *modules = OPENSSL_info(OPENSSL_INFO_MODULES_DIR);
    if (modules == nullptr || OSSL_PROVIDER_set_default_search_path(nullptr, modules) != 1)
        return nullptr;
    return provider_handle(OSSL_PROVIDER_load(nullptr, "default"));
}

key_handle read_private_key(FILE *file, key_report *report)
{
    const text_block text(static_cast<char *>(std::malloc(key_text_room)));
    if (!text)
        end_for_lack_of_memory();
    size_t size = 0;
    const bool read = read_key_text(file, text.get(), &size);
    const bool oversized = size > key_file_limit;
    key_handle key;
    if (read && !oversized)
        key = decode_key_text(std::string_view(text.get(), size), report);
    else if (report != nullptr)
        report->finding = read ? key_finding::oversized : key_finding::unreadable_file;
    // An unprotected key lies in the text as it is.
    OPENSSL_cleanse(text.get(), size);
    return key;
}

size_t modulus_bytes(const user_key &key)
{
    if (key.source == key_source::token)
        return token_modulus_bytes(*key.token);
    const int size = EVP_PKEY_get_size(key.file_key.get());
    return size > 0 ? static_cast<size_t>(size) : 0;
}
