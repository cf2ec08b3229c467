// SPDX-License-Identifier: BSD-2-Clause
// The answer path after the key is loaded (decode, decrypt, digest, encode)
// on arbitrary challenge lines with a fixed test key: every line must end in
// a response or one of the challenge errors, never in a crash.
#include "answer.h"
#include "console.h"
#include "key.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Both live until the process ends: libcrypto cleans up at exit before a
// static handle's destructor would run.
OSSL_PROVIDER *crypto = nullptr;
user_key *test_key = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    crypto = start_crypto().release();
    FILE *file = std::fopen(FUZZ_KEY, "r");
    if (!crypto || file == nullptr)
        std::abort();
    test_key = new user_key;
    test_key->file_key = read_private_key(file);
    std::fclose(file);
    if (!test_key->file_key)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No line the console hands over is longer than its storage.
    std::string line(reinterpret_cast<const char *>(data),
                     size < challenge_line_size ? size : challenge_line_size - 1);
    text_block response;
    switch (answer_challenge(*test_key, line.c_str(), &response)) {
    case outcome::answered:
        if (!response || std::strlen(response.get()) != 28 || response[27] != '=')
            std::abort();
        break;
    case outcome::bad_challenge:
    case outcome::decryption_error:
        if (response)
            std::abort();
        break;
    default:
        std::abort();
    }
    return 0;
}
