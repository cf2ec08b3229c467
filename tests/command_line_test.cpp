// SPDX-License-Identifier: BSD-2-Clause
// --help, -h and --version: answered only when they are the one argument;
// anything else is still a key file path.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr char usage_line[] = "Usage: velkin privatefile\n";
const std::string version_line = std::string("velkin ") + VELKIN_VERSION + "\n";

// The usage text: its first line, a pointer to the manual, whole lines.
std::string help_text()
{
    const std::string text = run_piped({"--help"}, "").out;
    EXPECT_EQ(text.rfind(usage_line, 0), 0u) << text;
    EXPECT_NE(text.find("man velkin"), std::string::npos) << text;
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    return text;
}

TEST(CommandLine, HelpAndVersionOnlyAsTheOneArgument)
{
    const std::string key = fixture("rsa2048.pem");
    const std::string input = "\n" + make_challenge(fixture("rsa2048.pub.pem"), "x") + "\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"--help"}, help_text(), 0},
        {{"-h"}, help_text(), 0},
        {{"--version"}, version_line, 0},
        // Not the one argument, or not exactly one of the words: a key path.
        {{"--help", key}, open_error, 255},
        {{"--version", "--help"}, open_error, 255},
        {{key, "--help"}, expected_response("x") + "\n", 0},
        {{"-help"}, open_error, 255},
        {{"--HELP"}, open_error, 255},
        {{"--vers"}, open_error, 255},
        {{"-V"}, open_error, 255},
        {{"-"}, open_error, 255},
        {{""}, open_error, 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const piped_run run = run_piped(c.args, input);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(exit_code(run.wait_status), c.status);
    }
}

TEST(CommandLine, KeyFileNamedLikeAnOptionIsReachedThroughItsPath)
{
    char folder[] = "/tmp/velkin-options-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string key = std::string(folder) + "/--help";
    {
        std::ifstream from(fixture("rsa2048.pem"), std::ios::binary);
        std::ofstream to(key, std::ios::binary);
        to << from.rdbuf();
    }
    const std::string input = "\n" + make_challenge(fixture("rsa2048.pub.pem"), "y") + "\n";
    char *here = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(folder), 0);
    const piped_run by_path = run_piped({"./--help"}, input);
    const piped_run by_word = run_piped({"--help"}, input);
    EXPECT_EQ(chdir(here), 0);
    std::free(here);
    std::remove(key.c_str());
    rmdir(folder);

    EXPECT_EQ(by_path.out, expected_response("y") + "\n");
    EXPECT_EQ(exit_code(by_path.wait_status), 0);
    EXPECT_EQ(by_word.out, help_text());
    EXPECT_EQ(exit_code(by_word.wait_status), 0);
}

} // namespace
