// SPDX-License-Identifier: BSD-2-Clause
// decode_base64 against a small model of the decoding rules written here
// independently of the codec's table and state machine, and encode_base64
// round trips. The first input byte picks how much of the rest is the length.
#include "base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct model_result {
    bool accepted;
    std::vector<unsigned char> bytes;
};

// Collects the 6-bit values before the first zero byte or "=" within length,
// skipping everything outside the alphabet, and turns them into bytes eight
// bits at a time. A lone value before "=" means a cut text: rejected.
model_result decode_model(const std::string &text, size_t length)
{
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned> values;
    size_t i = 0;
    for (; i < length && text[i] != '\0' && text[i] != '='; ++i) {
        const size_t at = alphabet.find(text[i]);
        if (at != std::string::npos)
            values.push_back(static_cast<unsigned>(at));
    }
    // text[length] is the terminator of the string when length is its size.
    if (text[i] == '=' && values.size() % 4 == 1)
        return {false, {}};

    model_result result{true, {}};
    unsigned bits = 0, held = 0;
    for (unsigned v : values) {
        held = (held << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            result.bytes.push_back(static_cast<unsigned char>(held >> bits));
            held &= (1u << bits) - 1;
        }
    }
    return result;
}

void check_against_model(const std::string &text, size_t length)
{
    int32_t count = -7;
    const byte_block decoded = decode_base64(text.c_str(), static_cast<int32_t>(length), &count);
    const model_result expected = decode_model(text, length);
    if (!expected.accepted) {
        if (decoded || count != -7)
            std::abort();
        return;
    }
    if (!decoded || count < 0 || static_cast<size_t>(count) != expected.bytes.size()
        || (count > 0 && std::memcmp(decoded.get(), expected.bytes.data(), expected.bytes.size()) != 0)
        || decoded[static_cast<size_t>(count)] != 0)
        std::abort();
}

void check_round_trip(const uint8_t *data, size_t size)
{
    const text_block text = encode_base64(data, static_cast<int32_t>(size));
    if (!text)
        std::abort();
    const size_t length = std::strlen(text.get());
    if (length != 4 * ((size + 2) / 3))
        std::abort();
    int32_t count = -1;
    const byte_block decoded = decode_base64(text.get(), static_cast<int32_t>(length), &count);
    if (!decoded || static_cast<size_t>(count) != size
        || (size > 0 && std::memcmp(decoded.get(), data, size) != 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t cut = data[0] % (text.size() + 1);
    check_against_model(text, text.size() - cut);
    check_round_trip(data, size);
    return 0;
}
