// SPDX-License-Identifier: BSD-2-Clause
#include "base64.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct decoded {
    bool accepted;
    std::string bytes;
};

decoded decode(const std::string &text, int32_t length)
{
    int32_t count = -7;
    byte_block block = decode_base64(text.c_str(), length, &count);
    if (!block) {
        EXPECT_EQ(count, -7) << "a rejection must leave the count alone";
        return {false, {}};
    }
    EXPECT_EQ(block[count], '\0') << "the decoded bytes are followed by a zero byte";
    return {true, std::string(reinterpret_cast<char *>(block.get()), static_cast<size_t>(count))};
}

decoded decode(const std::string &text)
{
    return decode(text, static_cast<int32_t>(text.size()));
}

TEST(Base64, ReverseTableFollowsTheAlphabet)
{
    for (int c = 0; c < 256; ++c) {
        const char *at = std::strchr(base64_alphabet, c);
        const int expected = (c != 0 && at) ? static_cast<int>(at - base64_alphabet) : -1;
        EXPECT_EQ(base64_reverse[c], expected) << "byte " << c;
    }
}

TEST(Base64, Encodes)
{
    const struct {
        std::string bytes;
        const char *text;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\xff\xfe\x00", 3), "//4A"},
        {std::string("\xfb\xff", 2), "+/8="},
    };
    for (const auto &c : cases) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(c.bytes.data());
        text_block text = encode_base64(bytes, static_cast<int32_t>(c.bytes.size()));
        ASSERT_TRUE(text);
        EXPECT_STREQ(text.get(), c.text);
    }
}

TEST(Base64, RefusesNegativeCount)
{
    const unsigned char byte = 0;
    EXPECT_FALSE(encode_base64(&byte, -1));
}

TEST(Base64, TwentyBytesGiveTwentyEightCharactersWithOnePad)
{
    const std::vector<unsigned char> digest(20, 0xA5);
    text_block text = encode_base64(digest.data(), 20);
    ASSERT_EQ(std::strlen(text.get()), 28u);
    EXPECT_EQ(text[27], '=');
    EXPECT_NE(text[26], '=');
}

TEST(Base64, DecodesLeniently)
{
    const struct {
        const char *why;
        std::string text;
        std::string bytes;
    } cases[] = {
        {"empty text", "", ""},
        {"text that begins with =", "=Zm9v", ""},
        {"full groups", "Zm9vYmFy", "foobar"},
        {"two symbols and ==", "Zg==", "f"},
        {"three symbols and =", "Zm8=", "fo"},
        {"the number of = makes no difference", "Zm8=====", "fo"},
        {"two symbols without padding", "Zg", "f"},
        {"three symbols without padding", "Zm8", "fo"},
        {"lone symbol at the end without =", "Zm9vY", "foo"},
        {"blanks, tabs and line ends inside a group", " Zm\t9\r\nv ", "foo"},
        {"URL-safe and other punctuation skipped", "Z-m_9.v", "foo"},
        {"high bytes skipped", "Z\x80m\xff" "9v", "foo"},
        {"nothing after the first = is read", "Zm8=Zm9v", "fo"},
        {"a group of 2 with skipped bytes before =", "Zg \n==", "f"},
    };
    for (const auto &c : cases) {
        const decoded result = decode(c.text);
        EXPECT_TRUE(result.accepted) << c.why;
        EXPECT_EQ(result.bytes, c.bytes) << c.why;
    }
}

TEST(Base64, RejectsOnlyALoneSymbolBeforePad)
{
    EXPECT_FALSE(decode("Z=").accepted);
    EXPECT_FALSE(decode("Zm9vY=").accepted);
    EXPECT_FALSE(decode("Zm9vY \t=").accepted) << "skipped bytes between the symbol and =";
    EXPECT_FALSE(decode("Zm9vY=Zm9v").accepted);
}

TEST(Base64, StopsWhereTheLengthRunsOut)
{
    // Skipped characters count towards the length.
    EXPECT_EQ(decode("Zm9vYmFy", 4).bytes, "foo");
    EXPECT_EQ(decode(" Zm9vYmFy", 4).bytes, "fo");
    EXPECT_TRUE(decode("Zm9vYmFy", 0).accepted);
    // The character just past the length is looked at for the "=" rule.
    EXPECT_FALSE(decode("Zm9vY=", 5).accepted);
    EXPECT_EQ(decode("Zm9vYm", 5).bytes, "foo");
    EXPECT_EQ(decode("Zm=", 2).bytes, "f");
    // A zero byte ends the text before the length does.
    EXPECT_EQ(decode(std::string("Zm9v\0Ym", 7), 7).bytes, "foo");
}

TEST(Base64, RoundTripsEveryLength)
{
    std::vector<unsigned char> bytes;
    for (int n = 0; n <= 600; ++n) {
        text_block text = encode_base64(bytes.data(), n);
        ASSERT_TRUE(text);
        ASSERT_EQ(std::strlen(text.get()), static_cast<size_t>(4 * ((n + 2) / 3)));
        const decoded back = decode(text.get());
        ASSERT_TRUE(back.accepted) << n;
        ASSERT_EQ(back.bytes, std::string(bytes.begin(), bytes.end())) << n;
        bytes.push_back(static_cast<unsigned char>(n * 151 + 7));
    }
}

} // namespace
