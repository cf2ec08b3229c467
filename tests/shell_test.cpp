// SPDX-License-Identifier: BSD-2-Clause
// velkin as a user meets it: a job of an interactive bash with its usual
// line editor, stopped, continued, sent to the background and back, and
// given a challenge pasted the way terminals paste. Whatever happens, the
// passphrase never shows, the shell runs nothing it was not asked to, and the
// terminal is left as the shell had it.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char shell_prompt[] = "sh> ";
constexpr int shell_timeout_ms = 30000; // two loaded cores, maybe valgrind

const std::string protected_key = "rsa2048-aes256.pem"; // in the fixture folder
const std::string public_key = fixture("rsa2048.pub.pem");

// One thing done at the shell's terminal.
struct step {
    enum { type, expect, poke, stop } kind;
    // type: keys to press; expect: text to wait for; poke: text to wait for
    // while pressing keys now and then (bash reports a job's change only
    // before its next prompt); stop: SIGSTOP to the foreground job.
    std::string text;
    std::string keys;
};

step type(const std::string &keys) { return {step::type, keys, ""}; }
step expect(const std::string &text) { return {step::expect, text, ""}; }
step poke_until(const std::string &text, const std::string &keys = "\r")
{
    return {step::poke, text, keys};
}
step stop_job() { return {step::stop, "", ""}; }

struct shell_session {
    terminal_run term;
    size_t mark = 0; // where the next expect looks from
};

bool wait_after_mark(shell_session &shell, const std::string &text,
                     int timeout_ms = shell_timeout_ms)
{
    if (!wait_for(shell.term, text, timeout_ms, shell.mark))
        return false;
    shell.mark = shell.term.seen.find(text, shell.mark) + text.size();
    return true;
}

bool run_step(shell_session &shell, const step &s)
{
    switch (s.kind) {
    case step::type:
        type(shell.term, s.text);
        return true;
    case step::expect:
        return wait_after_mark(shell, s.text);
    case step::poke:
        for (int tries = 0; tries < shell_timeout_ms / 500; ++tries) {
            if (wait_after_mark(shell, s.text, 500))
                return true;
            type(shell.term, s.keys);
        }
        return false;
    case step::stop:
        return kill(-tcgetpgrp(shell.term.master), SIGSTOP) == 0;
    }
    return false;
}

// Runs command at the shell and returns what it printed between the
// markers; the markers are split in the typed line, so that its echo cannot
// be taken for the answer.
std::string ask_shell(shell_session &shell, const std::string &command)
{
    type(shell.term, "echo \"<\"\"<$(" + command + ")>\"\">\"\r");
    if (!wait_after_mark(shell, "<<"))
        return "(no answer)";
    const size_t start = shell.mark;
    if (!wait_after_mark(shell, ">>"))
        return "(no answer)";
    const std::string answer = shell.term.seen.substr(start, shell.mark - 2 - start);
    wait_after_mark(shell, shell_prompt);
    return answer;
}

std::string wrapped(const std::string &text, size_t columns, const char *line_end)
{
    std::string lines;
    for (size_t at = 0; at < text.size(); at += columns)
        lines += text.substr(at, columns) + line_end;
    return lines;
}

struct shell_case {
    const char *why;
    bool stops; // the case stops velkin, which valgrind cannot do
    std::vector<step> steps;
    size_t passphrase_prompts;
};

TEST(Shell, JobControlAndPastesLeaveTheTerminalToTheShell)
{
    const bool under_valgrind = std::getenv("VELKIN_WRAPPER") != nullptr;
    const std::string velkin = std::string(under_valgrind ? std::getenv("VELKIN_WRAPPER") : "")
        + " " + VELKIN_BINARY;
    const std::string plaintext = "answered from a shell";
    const std::string challenge = make_challenge(public_key, plaintext);
    const std::string response = response_prefix + expected_response(plaintext);
    const char *path_variable = std::getenv("PATH");
    const std::string path = path_variable ? path_variable : "/usr/bin:/bin";
    const std::string start = "$V " + protected_key;
    const std::string passphrase = std::string(fixture_passphrase) + "\r";
    // A terminal sends a pasted line end as a carriage return.
    const std::string paste = challenge + "\r";
    const std::vector<step> answer = {
        expect(passphrase_prompt), type(passphrase), expect(challenge_prompt), type(paste),
        expect(response), expect(shell_prompt)};
    auto then = [](std::vector<step> steps, const std::vector<step> &more) {
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };

    const shell_case cases[] = {
        {"answered without a pause", false, then({type(start + "\r")}, answer), 1},
        {"Ctrl-Z, bg, fg at the passphrase prompt", true,
         then({type(start + "\r"), expect(passphrase_prompt), type("\x1a"), expect("Stopped"),
               expect(shell_prompt), type("bg\r"), poke_until("Stopped"), type("fg\r")},
              answer),
         2},
        {"started with &, then fg", true,
         then({type(start + " &\r"), poke_until("Stopped"), type("fg\r")},
              answer),
         1},
        {"Ctrl-Z, then kill %1", true,
         {type(start + "\r"), expect(passphrase_prompt), type("\x1a"), expect("Stopped"),
          // bash at times leaves a job it killed unreaped until it next
          // waits for a child: an outside command makes it wait.
          expect(shell_prompt), type("kill %1\r"), poke_until("Terminated", "env true\r"),
          expect(shell_prompt)},
         1},
        {"SIGSTOP at the passphrase prompt, then fg", true,
         then({type(start + "\r"), expect(passphrase_prompt), stop_job(), expect("Stopped"),
               expect(shell_prompt), type("fg\r")},
              answer),
         2},
        {"Ctrl-Z, fg at the challenge prompt", true,
         {type(start + "\r"), expect(passphrase_prompt), type(passphrase),
          expect(challenge_prompt), type("\x1a"), expect("Stopped"), expect(shell_prompt),
          type("fg\r"), expect(start + "\r\n"), type(paste), expect(response),
          expect(shell_prompt)},
         1},
        {"challenge pasted wrapped at 76 columns", false,
         {type(start + "\r"), expect(passphrase_prompt), type(passphrase),
          expect(challenge_prompt), type(wrapped(challenge, 76, "\r")), expect(response),
          expect(shell_prompt)},
         1},
        {"a paste with a line after the whole challenge", false,
         {type(start + "\r"), expect(passphrase_prompt), type(passphrase),
          expect(challenge_prompt), type(paste + "velkin-leftover-command\r"), expect(response),
          expect(shell_prompt)},
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        if (c.stops && under_valgrind)
            continue;
        shell_session shell{start_shell(FIXTURE_DIR,
                                        {"PATH=" + path, "HOME=/nonexistent", "TERM=xterm",
                                         std::string("PS1=") + shell_prompt,
                                         "HISTFILE=/dev/null", "V=" + velkin})};
        ASSERT_TRUE(wait_after_mark(shell, shell_prompt)) << shell.term.seen;
        const std::string settings_before = ask_shell(shell, "stty -g");
        const size_t case_start = shell.mark;

        bool done = true;
        for (const auto &s : c.steps) {
            done = run_step(shell, s);
            if (!done) {
                ADD_FAILURE() << "no \"" << s.text << "\" in: "
                              << shell.term.seen.substr(case_start);
                break;
            }
        }
        if (done) {
            // velkin's status, or kill's: a line the shell ran by mistake
            // would have left 127.
            const std::string status = ask_shell(shell, "echo $?");
            const std::string settings_after = ask_shell(shell, "stty -g");
            const std::string seen = shell.term.seen.substr(case_start);
            EXPECT_EQ(status, "0") << seen;
            EXPECT_EQ(settings_after, settings_before) << "the terminal was left changed";
            EXPECT_EQ(seen.find(fixture_passphrase), std::string::npos) << "echoed: " << seen;
            EXPECT_EQ(seen.find("command not found"), std::string::npos) << seen;
            size_t prompts = 0;
            for (size_t at = seen.find(passphrase_prompt); at != std::string::npos;
                 at = seen.find(passphrase_prompt, at + 1))
                ++prompts;
            EXPECT_EQ(prompts, c.passphrase_prompts) << seen;
        }
        type(shell.term, "kill -KILL $(jobs -p) 2>/dev/null; exit\r");
        finish(shell.term);
    }
}

} // namespace
