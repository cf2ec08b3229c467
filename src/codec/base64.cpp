// SPDX-License-Identifier: BSD-2-Clause
#include "base64.h"

namespace {

char symbol(unsigned value)
{
    return base64_alphabet[value & 0x3F];
}

} // namespace

text_block encode_base64(const unsigned char *bytes, int32_t n)
{
    if (n < 0)
        return nullptr;
    const size_t groups = (static_cast<size_t>(n) + 2) / 3;
    text_block text(static_cast<char *>(std::malloc(4 * groups + 1)));
    if (!text)
        return nullptr;

    char *out = text.get();
    int32_t i = 0;
    for (; n - i >= 3; i += 3) {
        const unsigned b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
        *out++ = symbol(b0 >> 2);
        *out++ = symbol((b0 << 4) | (b1 >> 4));
        *out++ = symbol((b1 << 2) | (b2 >> 6));
        *out++ = symbol(b2);
    }
    if (n - i == 2) {
        const unsigned b0 = bytes[i], b1 = bytes[i + 1];
        *out++ = symbol(b0 >> 2);
        *out++ = symbol((b0 << 4) | (b1 >> 4));
        *out++ = symbol(b1 << 2);
        *out++ = base64_pad;
    } else if (n - i == 1) {
        const unsigned b0 = bytes[i];
        *out++ = symbol(b0 >> 2);
        *out++ = symbol(b0 << 4);
        *out++ = base64_pad;
        *out++ = base64_pad;
    }
    *out = '\0';
    return text;
}

byte_block decode_base64(const char *encoded, int32_t length, int32_t *out_count)
{
    if (length < 0 || length == INT32_MAX)
        return nullptr;
    byte_block block(static_cast<unsigned char *>(std::malloc(static_cast<size_t>(length) + 1)));
    if (!block)
        return nullptr;

    unsigned char *output = block.get();
    int32_t taken = 0; // characters looked at, skipped ones included
    int32_t symbols = 0;
    int32_t j = 0;
    while (taken < length && encoded[taken] != '\0' && encoded[taken] != base64_pad) {
        const int v = base64_reverse[static_cast<unsigned char>(encoded[taken++])];
        if (v < 0)
            continue;
        switch (symbols++ % 4) {
        case 0:
            output[j] = static_cast<unsigned char>(v << 2);
            break;
        case 1:
            output[j++] |= static_cast<unsigned char>(v >> 4);
            output[j] = static_cast<unsigned char>(v << 4);
            break;
        case 2:
            output[j++] |= static_cast<unsigned char>(v >> 2);
            output[j] = static_cast<unsigned char>(v << 6);
            break;
        default:
            output[j++] |= static_cast<unsigned char>(v);
            break;
        }
    }
    // A lone symbol cannot make a byte; before "=" it means the text was cut.
    if (encoded[taken] == base64_pad && symbols % 4 == 1)
        return nullptr;

    output[j] = '\0';
    *out_count = j;
    return block;
}
