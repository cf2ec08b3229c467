// SPDX-License-Identifier: BSD-2-Clause
#include "console.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

#include VELKIN_FORKPTY_HEADER

namespace {

// Symbols in a challenge for a 2048-bit key; far more than the test lines
// hold, so that only the line rules end a read.
constexpr size_t whole_symbols = 342;

// A stream that reads the given bytes, as a pipe or a redirected file would.
FILE *stream_of(const std::string &bytes)
{
    FILE *file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

// Points standard input at the given bytes.
void feed_stdin(const std::string &bytes)
{
    char path[] = "/tmp/velkin-stdin-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    ASSERT_TRUE(std::freopen(path, "r", stdin));
    unlink(path);
}

std::string rest_of(FILE *file)
{
    std::string rest;
    for (int c; (c = std::fgetc(file)) != EOF;)
        rest += static_cast<char>(c);
    return rest;
}

class ConsoleTest : public ::testing::Test {
protected:
    // Each test starts as a fresh process would.
    void SetUp() override
    {
        passphrase_requests = 0;
        std::memset(challenge_line, 0, sizeof challenge_line);
    }
};

TEST_F(ConsoleTest, ReadsAtMostSizeMinusOneCharacters)
{
    FILE *input = stream_of("abcdef\nnext\n");
    char buffer[4];
    ASSERT_TRUE(read_line(buffer, sizeof buffer, input));
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(rest_of(input), "def\nnext\n");
    std::fclose(input);
}

TEST_F(ConsoleTest, EndOfInputLeavesTheBufferUntouched)
{
    FILE *input = stream_of("");
    char buffer[8] = "kept";
    EXPECT_FALSE(read_line(buffer, sizeof buffer, input));
    EXPECT_STREQ(buffer, "kept");
    std::fclose(input);
}

TEST_F(ConsoleTest, CutsAtTheFirstLineEnd)
{
    const struct {
        const char *line;
        const char *text;
    } cases[] = {
        {"abc\n", "abc"}, {"abc\r\n", "abc"}, {"ab\rc\n", "ab"}, {"abc", "abc"}, {"\n", ""},
    };
    for (const auto &c : cases) {
        char buffer[16];
        std::strcpy(buffer, c.line);
        cut_line(buffer);
        EXPECT_STREQ(buffer, c.text) << c.line;
    }
}

TEST_F(ConsoleTest, ChallengeSkipsThePassphraseLineNobodyAskedFor)
{
    const struct {
        const char *why;
        std::string input;
        const char *challenge;
    } cases[] = {
        {"two lines", "secret\nQUJD\n", "QUJD"},
        {"one line serves as the challenge", "QUJD\n", "QUJD"},
        {"one line without a line end", "QUJD", "QUJD"},
        {"empty input", "", ""},
        {"carriage returns", "secret\r\nQU\rJD\r\n", "QU"},
    };
    for (const auto &c : cases) {
        SetUp();
        FILE *input = stream_of(c.input);
        EXPECT_STREQ(fetch_challenge(input, whole_symbols), c.challenge) << c.why;
        std::fclose(input);
    }
}

TEST_F(ConsoleTest, ChallengeFollowsAConsumedPassphrase)
{
    passphrase_requests = 1;
    FILE *input = stream_of("QUJD\nmore\n");
    EXPECT_STREQ(fetch_challenge(input, whole_symbols), "QUJD");
    std::fclose(input);

    SetUp();
    passphrase_requests = 1;
    input = stream_of("");
    EXPECT_STREQ(fetch_challenge(input, whole_symbols), "") << "no line after the passphrase";
    std::fclose(input);
}

TEST_F(ConsoleTest, ChallengeTakesAtMostItsStorage)
{
    const size_t most = challenge_line_size - 1;
    passphrase_requests = 1;
    FILE *input = stream_of(std::string(most + 5, 'A') + "\n");
    EXPECT_EQ(std::strlen(fetch_challenge(input, whole_symbols)), most);
    EXPECT_EQ(rest_of(input), "AAAAA\n");
    std::fclose(input);
}

TEST_F(ConsoleTest, OverlongSkippedLineContinuesAsTheChallenge)
{
    const size_t most = challenge_line_size - 1;
    FILE *input = stream_of(std::string(most, 'A') + "BCD\n");
    EXPECT_STREQ(fetch_challenge(input, whole_symbols), "BCD");
    std::fclose(input);

    SetUp();
    input = stream_of(std::string(most, 'A') + "\nnext\n");
    EXPECT_STREQ(fetch_challenge(input, whole_symbols), "") << "only the line end was left";
    std::fclose(input);
}

TEST_F(ConsoleTest, PipedPassphraseIsTheFirstLine)
{
    const struct {
        const char *why;
        std::string input;
        int size;
        std::string passphrase;
        std::string left;
    } cases[] = {
        {"plain line", "secret\nchallenge\n", 64, "secret", "challenge\n"},
        {"carriage return dropped", "secret\r\nchallenge\n", 64, "secret", "challenge\n"},
        {"empty line", "\nchallenge\n", 64, "", "challenge\n"},
        {"no input", "", 64, "", ""},
        {"cut at size - 1", "secret\nchallenge\n", 4, "sec", "ret\nchallenge\n"},
        {"exactly size - 1", "sec\nchallenge\n", 4, "sec", "\nchallenge\n"},
    };
    for (const auto &c : cases) {
        SetUp();
        feed_stdin(c.input);
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        const int count = supply_passphrase(buffer, c.size, 0, nullptr);
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), c.passphrase) << c.why;
        EXPECT_EQ(passphrase_requests, 1) << c.why;
        EXPECT_EQ(rest_of(stdin), c.left) << c.why;
    }
}

TEST_F(ConsoleTest, EveryRequestCountsEvenWithoutAnswer)
{
    feed_stdin("secret\n");
    char buffer[8];
    EXPECT_EQ(supply_passphrase(buffer, 0, 0, nullptr), 0);
    EXPECT_EQ(supply_passphrase(buffer, -1, 0, nullptr), 0);
    EXPECT_EQ(passphrase_requests, 2);
    EXPECT_EQ(rest_of(stdin), "secret\n") << "a request without room reads nothing";
}

TEST_F(ConsoleTest, PipedPinTakesThePassphraseLine)
{
    feed_stdin("1234\nchallenge\n");
    char buffer[16];
    const int count = supply_pin("token", false, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), "1234");
    EXPECT_STREQ(fetch_challenge(stdin, whole_symbols), "challenge");

    // A token with a PIN pad takes nothing from the script, whose PIN line
    // is then skipped like an unasked passphrase.
    SetUp();
    feed_stdin("not for the pad\nchallenge\n");
    EXPECT_EQ(supply_pin("token", true, buffer, sizeof buffer), 0);
    EXPECT_EQ(passphrase_requests, 0);
    EXPECT_STREQ(fetch_challenge(stdin, whole_symbols), "challenge");
}

TEST_F(ConsoleTest, SkippedLineIsWipedOnceTheChallengeComes)
{
    const std::string skipped = "a passphrase nobody asked for";
    FILE *input = stream_of(skipped + "\nQUJD\n");
    EXPECT_STREQ(fetch_challenge(input, whole_symbols), "QUJD");
    EXPECT_EQ(std::string(challenge_line, skipped.size() + 1),
              "QUJD" + std::string(skipped.size() + 1 - 4, '\0'));
    std::fclose(input);
}

// At a terminal a challenge pasted over several lines is joined, and what
// the paste holds beyond it is dropped, never left for the shell.
TEST_F(ConsoleTest, PastedChallengeAtATerminal)
{
    const struct {
        const char *why;
        const char *pasted;
        size_t symbols; // in a whole challenge
        const char *challenge;
    } cases[] = {
        {"fits on its first line", "ABCDEFGH\nnext\n", 8, "ABCDEFGH"},
        {"wrapped, ends in =", "ABCD\nEFGH\nIJ==\nls\n", 100, "ABCDEFGHIJ=="},
        {"wrapped, ends on the count", "ABCD\nEF GH\nIJKL\n", 8, "ABCDEF GH"},
        {"an empty line ends it", "ABCD\n\nEFGH\n", 100, "ABCD"},
        {"empty first line", "\nABCD\n", 100, ""},
        {"= on the first line", "AB==\nCDEF\n", 100, "AB=="},
        {"blank line goes on", "ABCD\n  \nEF==\n", 100, "ABCD  EF=="},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        SetUp();
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        FILE *input = fdopen(slave, "r");
        const std::string pasted = c.pasted;
        ASSERT_EQ(write(master, pasted.data(), pasted.size()), static_cast<ssize_t>(pasted.size()));
        EXPECT_STREQ(fetch_challenge(input, c.symbols), c.challenge);
        pollfd left{slave, POLLIN, 0};
        EXPECT_EQ(poll(&left, 1, 0), 0) << "the rest of the paste was left for the shell";
        std::fclose(input);
        close(master);
    }
}

TEST_F(ConsoleTest, PastedChallengeTakesAtMostItsStorage)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FILE *input = fdopen(slave, "r");
    // A terminal holds less than the storage at a time: paste from aside.
    std::thread paste([master] {
        const std::string line = std::string(1000, 'A') + "\n";
        for (int i = 0; i < 20; ++i)
            if (write(master, line.data(), line.size()) < 0)
                return;
    });
    EXPECT_EQ(std::strlen(fetch_challenge(input, 30000)), challenge_line_size - 1);
    std::fclose(input);
    close(master);
    paste.join();
}

} // namespace
