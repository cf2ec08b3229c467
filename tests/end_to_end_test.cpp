// SPDX-License-Identifier: BSD-2-Clause
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string plain_key = fixture("rsa2048.pem");
const std::string protected_key = fixture("rsa2048-aes256.pem");
const std::string public_key = fixture("rsa2048.pub.pem");

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string lines(const std::string &first, const std::string &second)
{
    return first + "\n" + second + "\n";
}

TEST(Piped, AnswersWithAndWithoutPassphrase)
{
    const std::string plaintext = "the server's secret";
    const std::string challenge = make_challenge(public_key, plaintext);
    expect_answer(run_piped({plain_key}, lines("ignored", challenge)), plaintext);
    expect_answer(run_piped({plain_key}, challenge + "\n"), plaintext);
    expect_answer(run_piped({protected_key}, lines(fixture_passphrase, challenge)), plaintext);
    expect_answer(run_piped({protected_key}, std::string(fixture_passphrase) + "\r\n" + challenge
                                                 + "\r\n"),
                  plaintext);
    expect_answer(run_piped({plain_key, "extra", "args"}, lines("", challenge)), plaintext);
}

TEST(Piped, AnswersEveryPlaintextLength)
{
    // 0 bytes, 1 byte and the most OAEP with SHA-1 carries in a 2048-bit key.
    for (size_t length : {0, 1, 256 - 42}) {
        const std::string plaintext(length, 'p');
        expect_answer(run_piped({plain_key}, lines("", make_challenge(public_key, plaintext))),
                      plaintext);
    }
}

TEST(Piped, AnswersChallengesMangledOnTheWay)
{
    const std::string plaintext = "pasted by hand";
    std::string challenge = make_challenge(public_key, plaintext);
    std::string broken;
    for (size_t i = 0; i < challenge.size(); ++i)
        broken += (i % 60 == 59 ? std::string(" \t") : "") + challenge[i];
    expect_answer(run_piped({plain_key}, lines("", broken)), plaintext);
    expect_answer(run_piped({plain_key}, lines("", challenge + "== trailing words")), plaintext);
}

TEST(Piped, AnswersWithAnEightKilobitKey)
{
    const std::string plaintext(1024 - 42, 'L');
    const std::string challenge = make_challenge(fixture("rsa8192.pub.pem"), plaintext);
    expect_answer(run_piped({fixture("rsa8192.pem")}, lines("", challenge)), plaintext);
}

TEST(Piped, ReportsEachFailure)
{
    const std::string challenge = make_challenge(public_key, "secret");
    const std::string foreign = make_challenge(fixture("other2048.pub.pem"), "secret");
    const struct {
        const char *why;
        std::vector<std::string> args;
        std::string input;
        const char *message;
    } cases[] = {
        {"no argument", {}, lines("", challenge), usage_error},
        {"missing key file", {fixture("no-such-key.pem")}, lines("", challenge), open_error},
        {"a folder is no key file", {FIXTURE_DIR}, lines("", challenge), open_error},
        {"public key", {public_key}, lines("", challenge), key_error},
        {"wrong passphrase", {protected_key}, lines("wrong", challenge), key_error},
        {"empty passphrase", {protected_key}, lines("", challenge), key_error},
        {"no input for a protected key", {protected_key}, "", key_error},
        {"empty challenge", {plain_key}, lines("", ""), decryption_error},
        {"no input at all", {plain_key}, "", decryption_error},
        {"protected key, no challenge line", {protected_key}, std::string(fixture_passphrase) + "\n",
         decryption_error},
        {"lone symbol before =", {plain_key}, lines("", challenge.substr(0, 341) + "="),
         challenge_error},
        {"challenge for another key", {plain_key}, lines("", foreign), decryption_error},
        {"truncated challenge", {plain_key}, lines("", challenge.substr(0, 300)), decryption_error},
        {"longer than the modulus", {plain_key}, lines("", challenge.substr(0, 340) + "AAAA"),
         decryption_error},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        expect_failure(run_piped(c.args, c.input), c.message);
    }
}

TEST(Piped, HostileInputEndsPromptlyInLittleMemory)
{
    // Every byte value but the line ends, then the zero byte: decoding stops
    // at the first "=", after 12 symbols.
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        for (int b = 1; b <= 256; ++b)
            if (b != '\n' && b != '\r')
                garbage += static_cast<char>(b & 0xFF);
    const std::string plaintext = "behind a zero byte";
    const std::string challenge = make_challenge(public_key, plaintext);
    const struct {
        const char *why;
        std::string key;
        std::string input;
        size_t repeat;
        std::string out;
        int status;
    } cases[] = {
        {"100 MB without a line end", plain_key, std::string(1 << 20, 'A'), 100, decryption_error,
         255},
        {"4 MB passphrase line", protected_key, std::string(4 << 20, 'p') + "\n" + challenge + "\n",
         1, key_error, 255},
        {"binary garbage", plain_key, "\n" + garbage, 1, decryption_error, 255},
        {"a zero byte ends the challenge", plain_key,
         "\n" + challenge + std::string(1, '\0') + "AAAA=\n", 1, expected_response(plaintext) + "\n",
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        const auto start = std::chrono::steady_clock::now();
        const piped_run run = run_piped({c.key}, c.input, c.repeat);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(exit_code(run.wait_status), c.status);
    }
    // A memory checker's own memory would count too.
    if (std::getenv("VELKIN_WRAPPER") == nullptr) {
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak resident size in KiB";
    }
}

TEST(Piped, NoArgumentReadsNoInput)
{
    const file_run run = run_with_input_file({}, lines("", make_challenge(public_key, "unread")));
    EXPECT_EQ(run.out, usage_error);
    EXPECT_EQ(exit_code(run.wait_status), 255);
    EXPECT_EQ(run.input_read, 0);
}

TEST(Piped, UnwritableResponseIsAFailure)
{
    const std::string plaintext = "nowhere to go";
    const std::string script = std::string(VELKIN_BINARY) + " " + plain_key + " >/dev/full <<'EOF'\n\n"
        + make_challenge(public_key, plaintext) + "\nEOF\n";
    const int status = std::system(script.c_str());
    EXPECT_EQ(exit_code(status), 255);
}

TEST(Piped, IgnoresOpenSslConfiguration)
{
    // A configuration that leaves only the null provider breaks every
    // libcrypto program that reads it.
    char path[] = "/tmp/velkin-null-XXXXXX";
    const int fd = mkstemp(path);
    const std::string config = "openssl_conf = init\n[init]\nproviders = providers\n"
                               "[providers]\nnull = null\n[null]\nactivate = 1\n";
    ASSERT_EQ(write(fd, config.data(), config.size()), static_cast<ssize_t>(config.size()));
    close(fd);
    const std::string plaintext = "configuration-free";
    const std::string input = lines(fixture_passphrase, make_challenge(public_key, plaintext));
    setenv("OPENSSL_CONF", path, 1);
    const piped_run run = run_piped({protected_key}, input);
    unsetenv("OPENSSL_CONF");
    unlink(path);
    expect_answer(run, plaintext);
}

TEST(Terminal, AsksForThePassphraseWithoutEcho)
{
    const std::string plaintext = "typed by hand";
    terminal_run run = start_at_terminal({protected_key});
    ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
    EXPECT_FALSE(terminal_echoes(run));
    const int status = complete_at_terminal(run, fixture_passphrase, make_challenge(public_key, plaintext));

    EXPECT_EQ(exit_code(status), 0);
    EXPECT_EQ(run.seen.find(fixture_passphrase), std::string::npos) << "the passphrase was echoed";
    const std::string answer = std::string(response_prefix) + expected_response(plaintext) + "\r\n";
    EXPECT_EQ(run.seen.substr(run.seen.size() - answer.size()), answer) << run.seen;
}

TEST(Terminal, UnprotectedKeyAsksOnlyForTheChallenge)
{
    const std::string plaintext = "no passphrase";
    char path[] = "/tmp/velkin-out-XXXXXX";
    close(mkstemp(path));
    terminal_run run = start_at_terminal({plain_key}, path);
    ASSERT_TRUE(wait_for(run, challenge_prompt)) << run.seen;
    type(run, make_challenge(public_key, plaintext) + "\r");
    const int status = finish(run);

    EXPECT_EQ(exit_code(status), 0);
    EXPECT_EQ(run.seen.find(passphrase_prompt), std::string::npos);
    EXPECT_EQ(run.seen.substr(run.seen.size() - (sizeof response_prefix - 1)), response_prefix)
        << "the prefix stays on the terminal";
    EXPECT_EQ(read_file(path), expected_response(plaintext) + "\n")
        << "standard output receives only the response";
    unlink(path);
}

TEST(Terminal, EmptyPassphraseEndsWithTheKeyError)
{
    terminal_run run = start_at_terminal({protected_key});
    ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
    type(run, "\r");
    const int status = finish(run);
    EXPECT_EQ(exit_code(status), 255);
    EXPECT_NE(run.seen.find(std::string(key_error).replace(sizeof key_error - 2, 1, "\r\n")),
              std::string::npos)
        << run.seen;
    EXPECT_EQ(run.seen.find(challenge_prompt), std::string::npos);
}

} // namespace
