// SPDX-License-Identifier: BSD-2-Clause
// The passphrase prompt interrupted by signals: the terminal must always be
// left echoing, and the process must end or stop the way the signal says.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>

namespace {

const std::string protected_key = fixture("rsa2048-aes256.pem");
const std::string public_key = fixture("rsa2048.pub.pem");

TEST(InterruptedPrompt, EndingSignalRestoresTheTerminalAndEndsByThatSignal)
{
    const struct {
        const char *why;
        const char *keys; // typed at the terminal, or null to send the signal
        int signal_number;
    } cases[] = {
        {"Ctrl-C", "\x03", SIGINT},
        {"Ctrl-\\", "\x1c", SIGQUIT},
        {"SIGTERM", nullptr, SIGTERM},
        {"SIGHUP", nullptr, SIGHUP},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        terminal_run run = start_at_terminal({protected_key});
        ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
        ASSERT_FALSE(terminal_echoes(run));
        type(run, "velk"); // half a passphrase, no line end yet
        if (c.keys)
            type(run, c.keys);
        else
            kill(run.pid, c.signal_number);
        const int status = finish(run);

        EXPECT_TRUE(run.echoed_at_end) << "the terminal was left without echo";
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << ", shown: " << run.seen;
        EXPECT_EQ(WTERMSIG(status), c.signal_number);
        EXPECT_EQ(run.seen.find("velk"), std::string::npos) << run.seen;
        EXPECT_EQ(run.seen.find(challenge_prompt), std::string::npos);
    }
}

TEST(InterruptedPrompt, CtrlZRestoresTheTerminalAndTheReadGoesOn)
{
    // As a shell's job Ctrl-Z stops velkin. Without job control the kernel
    // drops the stop (the process group is orphaned), and velkin must turn
    // echo off again all the same.
    for (const bool as_job : {true, false}) {
        SCOPED_TRACE(as_job ? "as a shell's job" : "without job control");
        // valgrind does not carry out a stop signal's default action for the
        // program it runs, so under it velkin cannot stop.
        if (as_job && std::getenv("VELKIN_WRAPPER") != nullptr)
            continue;
        const std::string plaintext = "after a pause";
        terminal_run run = as_job ? start_as_job({protected_key}) : start_at_terminal({protected_key});
        ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
        ASSERT_FALSE(terminal_echoes(run));
        run.seen.clear();
        type(run, "\x1a");
        if (as_job) {
            ASSERT_TRUE(wait_until_stopped(run)) << run.seen;
            EXPECT_TRUE(terminal_echoes(run)) << "echo stays off while stopped";
            kill(run.pid, SIGCONT);
        }
        ASSERT_TRUE(wait_for(run, passphrase_prompt)) << "asked again: " << run.seen;
        EXPECT_FALSE(terminal_echoes(run));
        const int status = complete_at_terminal(run, fixture_passphrase, make_challenge(public_key, plaintext));

        EXPECT_EQ(exit_code(status), 0) << run.seen;
        EXPECT_NE(run.seen.find(expected_response(plaintext)), std::string::npos) << run.seen;
        EXPECT_EQ(run.seen.find(fixture_passphrase), std::string::npos) << "echoed: " << run.seen;
        EXPECT_TRUE(run.echoed_at_end);
    }
}

TEST(InterruptedPrompt, BackgroundJobWaitsForTheForegroundBeforeHidingEcho)
{
    if (std::getenv("VELKIN_WRAPPER") != nullptr)
        GTEST_SKIP() << "valgrind does not stop the program it runs";
    const std::string plaintext = "started with &";
    terminal_run run = start_as_job({protected_key}, true);
    ASSERT_TRUE(wait_until_stopped(run)) << run.seen;
    EXPECT_TRUE(terminal_echoes(run)) << "echo turned off from the background";
    kill(run.pid, SIGCONT);
    ASSERT_TRUE(wait_for(run, passphrase_prompt)) << run.seen;
    EXPECT_FALSE(terminal_echoes(run));
    const int status = complete_at_terminal(run, fixture_passphrase, make_challenge(public_key, plaintext));

    EXPECT_EQ(exit_code(status), 0) << run.seen;
    EXPECT_NE(run.seen.find(expected_response(plaintext)), std::string::npos) << run.seen;
    EXPECT_TRUE(run.echoed_at_end);
}

} // namespace
