// SPDX-License-Identifier: BSD-2-Clause
// The floor for bench/run: the least work any libcrypto program must do to
// answer one challenge. It starts libcrypto without a configuration file,
// reads an unprotected PKCS#1 PEM key, skips the piped passphrase line,
// decodes the challenge line, makes one RSA-OAEP decryption (blinded, as
// libcrypto always does), hashes the plaintext with SHA-1 and prints the
// Base64 digest. It is a yardstick, not a model: it checks only enough to
// fail instead of printing a wrong answer, and wipes and frees nothing.
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t line_size = 16384;
constexpr size_t sha1_size = 20;

// PKCS#1's RSAPrivateKey: a version, then these integers in this order.
constexpr const char *rsa_fields[] = {
    OSSL_PKEY_PARAM_RSA_N,          OSSL_PKEY_PARAM_RSA_E,
    OSSL_PKEY_PARAM_RSA_D,          OSSL_PKEY_PARAM_RSA_FACTOR1,
    OSSL_PKEY_PARAM_RSA_FACTOR2,    OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2,  OSSL_PKEY_PARAM_RSA_COEFFICIENT1,
};
constexpr int rsa_field_count = sizeof rsa_fields / sizeof rsa_fields[0];

// The key straight from its integers, past libcrypto's general decoders.
EVP_PKEY *read_key(const char *path)
{
    FILE *file = std::fopen(path, "r");
    char *name = nullptr;
    char *header = nullptr;
    unsigned char *der = nullptr;
    long der_length = 0;
    if (file == nullptr || PEM_read(file, &name, &header, &der, &der_length) != 1)
        return nullptr;
    const unsigned char *cursor = der;
    ASN1_SEQUENCE_ANY *fields = d2i_ASN1_SEQUENCE_ANY(nullptr, &cursor, der_length);
    if (fields == nullptr || sk_ASN1_TYPE_num(fields) != rsa_field_count + 1)
        return nullptr;
    OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
    for (int i = 0; i < rsa_field_count; ++i) {
        const ASN1_TYPE *field = sk_ASN1_TYPE_value(fields, i + 1);
        if (field->type != V_ASN1_INTEGER
            || OSSL_PARAM_BLD_push_BN(builder, rsa_fields[i],
                                      ASN1_INTEGER_to_BN(field->value.integer, nullptr)) != 1)
            return nullptr;
    }
    OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(builder);
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *key = nullptr;
    if (context == nullptr || EVP_PKEY_fromdata_init(context) != 1
        || EVP_PKEY_fromdata(context, &key, EVP_PKEY_KEYPAIR, params) != 1)
        return nullptr;
    return key;
}

// The Base64 challenge line, decoded; its length, or -1.
int decode_line(char *line, unsigned char *out)
{
    size_t length = std::strcspn(line, "\r\n");
    const int decoded = EVP_DecodeBlock(out, reinterpret_cast<unsigned char *>(line),
                                        static_cast<int>(length));
    // EVP_DecodeBlock counts each "=" as a zero byte.
    int padding = 0;
    while (length > 0 && line[--length] == '=')
        ++padding;
    return decoded < 0 ? -1 : decoded - padding;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) != 1)
        return 1;
    EVP_PKEY *key = read_key(argv[1]);
    static char line[line_size];
    if (key == nullptr || std::fgets(line, sizeof line, stdin) == nullptr
        || std::fgets(line, sizeof line, stdin) == nullptr)
        return 1;
    static unsigned char ciphertext[line_size];
    const int ciphertext_length = decode_line(line, ciphertext);

    static unsigned char plaintext[line_size];
    size_t plaintext_length = sizeof plaintext;
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key, nullptr);
    if (ciphertext_length < 0 || context == nullptr || EVP_PKEY_decrypt_init(context) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_decrypt(context, plaintext, &plaintext_length, ciphertext,
                            static_cast<size_t>(ciphertext_length)) != 1)
        return 1;

    unsigned char digest[sha1_size];
    if (EVP_Digest(plaintext, plaintext_length, digest, nullptr, EVP_sha1(), nullptr) != 1)
        return 1;
    unsigned char response[4 * (sha1_size + 2) / 3 + 1];
    EVP_EncodeBlock(response, digest, sha1_size);
    std::puts(reinterpret_cast<char *>(response));
    return 0;
}
