// SPDX-License-Identifier: BSD-2-Clause
// Base64 as velkin speaks it: the standard alphabet with "=" padding and no
// line breaks. Encoding is strict; decoding is lenient, because challenges
// are pasted by hand and pick up blanks, line ends and stray characters.
#ifndef VELKIN_CODEC_BASE64_H
#define VELKIN_CODEC_BASE64_H

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>

constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char base64_pad = '=';

constexpr std::array<int16_t, 256> make_base64_reverse()
{
    std::array<int16_t, 256> table{};
    for (auto &entry : table)
        entry = -1;
    for (int16_t v = 0; base64_alphabet[v] != '\0'; ++v)
        table[static_cast<unsigned char>(base64_alphabet[v])] = v;
    return table;
}

// The value of each byte taken as unsigned: 0 to 63 for an alphabet symbol,
// -1 for every other byte, "=" and the zero byte included.
constexpr std::array<int16_t, 256> base64_reverse = make_base64_reverse();

// Releases a heap block the codec handed out.
struct heap_free {
    void operator()(void *block) const { std::free(block); }
};
using text_block = std::unique_ptr<char[], heap_free>;
using byte_block = std::unique_ptr<unsigned char[], heap_free>;

// Encodes n bytes as 4 * ceil(n / 3) symbols, padded with "=", followed by a
// terminator. Returns null for a negative n (nothing is allocated) or when
// memory runs out.
text_block encode_base64(const unsigned char *bytes, int32_t n);

// Decodes the first `length` characters of `encoded` (0 <= length < 2^31 - 1),
// stopping early at a zero byte or the first "="; bytes outside the alphabet
// are skipped. encoded[length] must be readable: it is looked at when the
// length runs out. On success returns a block of length + 1 bytes holding the
// decoded bytes and a zero byte after them, and stores their count in
// *out_count. Returns null, leaving *out_count alone, when the last group is
// one lone symbol followed by "=", or when memory runs out.
byte_block decode_base64(const char *encoded, int32_t length, int32_t *out_count);

#endif
