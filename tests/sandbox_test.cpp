// SPDX-License-Identifier: BSD-2-Clause
// The Linux filter's conditions on arguments and on the kind of call: each
// case below is a call the filter must refuse although a call of the same
// name, with other arguments, is allowed.
#include "harness.h"
#include "hardening.h"

#include <gtest/gtest.h>

#if defined(__linux__)

#include <csignal>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void ignore_signal(int) {}

// What the run shows when the call is made after entering the sandbox.
std::string shown_after(const std::function<void()> &call, int *status)
{
    int out[2];
    if (pipe(out) != 0)
        return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        enter_sandbox();
        std::fputs("confined\n", stdout);
        std::fflush(stdout);
        call();
        std::fputs("allowed\n", stdout);
        std::fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    const std::string shown = read_to_end(out[0]);
    close(out[0]);
    waitpid(child, status, 0);
    return shown;
}

TEST(Filter, RefusesCallsOutsideTheirConditions)
{
    if (!VELKIN_SANDBOXED)
        GTEST_SKIP() << "this build has no sandbox";
    const struct {
        const char *why;
        std::function<void()> call;
    } cases[] = {
        {"map executable memory",
         [] { mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }},
        {"make memory executable",
         [] {
             void *page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
             mprotect(page, 4096, PROT_READ | PROT_EXEC);
         }},
        {"replace the handler of forbidden calls",
         [] {
             struct sigaction action{};
             action.sa_handler = ignore_signal;
             sigaction(SIGSYS, &action, nullptr);
         }},
        {"signal another process", [] { kill(getppid(), 0); }},
        {"an unlisted terminal request",
         [] {
             winsize size{};
             ioctl(STDIN_FILENO, TIOCSWINSZ, &size);
         }},
        {"read another descriptor",
         [] {
             char byte;
             if (read(STDOUT_FILENO, &byte, 1) < 0) {
             }
         }},
#if defined(__x86_64__)
        {"an x32 call", [] { syscall(__X32_SYSCALL_BIT | SYS_getpid); }},
        // getpid in the 32-bit numbering.
        {"a 32-bit call", [] { asm volatile("int $0x80" : : "a"(20) : "memory"); }},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        int status = 0;
        EXPECT_EQ(shown_after(c.call, &status), std::string("confined\n") + forbidden_call_error);
        EXPECT_EQ(exit_code(status), 255) << "status " << status;
    }
}

} // namespace

#endif
