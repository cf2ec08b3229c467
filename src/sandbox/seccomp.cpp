// SPDX-License-Identifier: BSD-2-Clause
// Linux: a seccomp filter, one static BPF program that checks the
// architecture and then each allowed call, with its argument conditions, in
// turn. It is built on the stack and handed to the kernel in one call, so
// installing it allocates nothing and cannot stop half-way.
#include "sandbox.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>

namespace {

#if defined(__x86_64__) && !defined(__ILP32__)
constexpr uint32_t own_architecture = AUDIT_ARCH_X86_64;
// The x32 calls share the architecture but number their calls from this bit.
constexpr bool foreign_call_bit = true;
constexpr uint32_t x32_call_bit = __X32_SYSCALL_BIT;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr uint32_t own_architecture = AUDIT_ARCH_AARCH64;
constexpr bool foreign_call_bit = false;
constexpr uint32_t x32_call_bit = 0;
#else
#error "velkin has no system-call filter for this architecture; configure with -DVELKIN_SANDBOX=OFF to build without the sandbox"
#endif

// Every argument tested below is an int or a flag word, of which the kernel
// reads only the low 32 bits; on these little-endian systems they come first.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument words in little-endian order");

constexpr uint32_t number_offset = offsetof(seccomp_data, nr);
constexpr uint32_t architecture_offset = offsetof(seccomp_data, arch);

constexpr uint32_t argument_offset(uint8_t argument)
{
    return static_cast<uint32_t>(offsetof(seccomp_data, args) + argument * sizeof(uint64_t));
}

// What an allowed call's argument must be, if anything.
enum class test : uint8_t {
    none,
    equals,    // the argument is value
    differs,   // the argument is not value
    lacks,     // none of the bits in value is set
    has,       // every bit in value is set
    this_process, // the argument is this process's ID
};

struct allowed_call {
    uint32_t number;
    test kind;
    uint8_t argument;
    uint32_t value;
};

constexpr allowed_call any(long number)
{
    return {static_cast<uint32_t>(number), test::none, 0, 0};
}

constexpr allowed_call when(long number, uint8_t argument, test kind, uint32_t value = 0)
{
    return {static_cast<uint32_t>(number), kind, argument, value};
}

constexpr allowed_call ioctl_request(unsigned long request)
{
    return when(SYS_ioctl, 1, test::equals, static_cast<uint32_t>(request));
}

// What the rest of the run takes, the calls it makes most often first.
// Reading the challenge: standard input, the terminal's settings, and job
// control while it waits (signals, stopping itself, waiting for input).
// Decrypting and hashing: memory and locks. Writing and exiting: standard
// output and error, and the C library's exit, which gives unread input back
// to a seekable standard input. Mapped memory is never executable, and the
// handler of forbidden calls stays in place.
constexpr allowed_call allowed_calls[] = {
    any(SYS_brk),
    any(SYS_futex),
    when(SYS_read, 0, test::equals, STDIN_FILENO),
    when(SYS_write, 0, test::equals, STDOUT_FILENO),
    when(SYS_write, 0, test::equals, STDERR_FILENO),
    when(SYS_mmap, 2, test::lacks, PROT_EXEC),
    any(SYS_munmap),
    when(SYS_readv, 0, test::equals, STDIN_FILENO),
    when(SYS_writev, 0, test::equals, STDOUT_FILENO),
    when(SYS_writev, 0, test::equals, STDERR_FILENO),
    when(SYS_lseek, 0, test::equals, STDIN_FILENO),
    any(SYS_fstat),
    when(SYS_newfstatat, 3, test::has, AT_EMPTY_PATH),
    any(SYS_close),
    ioctl_request(TCGETS),    // isatty, tcgetattr
    ioctl_request(TCSETS),    // tcsetattr
    ioctl_request(TCSETSW),
    ioctl_request(TCSETSF),
    ioctl_request(TCFLSH),    // tcflush
    ioctl_request(TIOCGPGRP), // tcgetpgrp
    any(SYS_pselect6),
    any(SYS_ppoll),
#if defined(SYS_select)
    any(SYS_select),
#endif
#if defined(SYS_poll)
    any(SYS_poll),
#endif
    when(SYS_rt_sigaction, 0, test::differs, SIGSYS),
    any(SYS_rt_sigprocmask),
    any(SYS_rt_sigreturn),
    any(SYS_rt_sigsuspend),
    any(SYS_restart_syscall),
    any(SYS_getpid),
    any(SYS_gettid),
#if defined(SYS_getpgrp)
    any(SYS_getpgrp),
#endif
    any(SYS_getpgid),
    // raise and kill may signal this process only: stopping itself at Ctrl-Z.
    when(SYS_kill, 0, test::this_process),
    when(SYS_tgkill, 0, test::this_process),
    any(SYS_clock_gettime),
    any(SYS_gettimeofday),
#if defined(SYS_time)
    any(SYS_time),
#endif
    when(SYS_mprotect, 2, test::lacks, PROT_EXEC),
    any(SYS_mremap),
    any(SYS_madvise),
    any(SYS_exit),
    any(SYS_exit_group),
};

constexpr sock_filter statement(uint16_t code, uint32_t k)
{
    return {code, 0, 0, k};
}

constexpr sock_filter jump(uint16_t code, uint32_t k, uint8_t if_true, uint8_t if_false)
{
    return {code, if_true, if_false, k};
}

constexpr sock_filter load_word(uint32_t offset)
{
    return statement(BPF_LD | BPF_W | BPF_ABS, offset);
}

constexpr sock_filter allow = statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
constexpr sock_filter trap = statement(BPF_RET | BPF_K, SECCOMP_RET_TRAP);

// A call without a condition: is the number, then allow. A call with one:
// is the number, load the argument, test it, allow, reload the number for
// the calls after it. Each jump skips to the end of its own block.
constexpr size_t plain_block = 2;
constexpr size_t conditioned_block = 5;
constexpr size_t head_size = 6 + (foreign_call_bit ? 2 : 0);

// The number a tracer gives a call it skips, as strace does to make a call
// fail: the kernel then runs nothing and returns what the tracer set.
constexpr uint32_t skipped_call = UINT32_MAX;

constexpr size_t block_size(const allowed_call &call)
{
    return call.kind == test::none ? plain_block : conditioned_block;
}

constexpr size_t program_size()
{
    size_t size = head_size + 1;
    for (const allowed_call &call : allowed_calls)
        size += block_size(call);
    return size;
}

using program = std::array<sock_filter, program_size()>;

// The test of the argument in the accumulator: falls through to allow when
// it passes, skips the allow when it fails.
constexpr sock_filter argument_test(const allowed_call &call, uint32_t self)
{
    switch (call.kind) {
    case test::differs:
        return jump(BPF_JMP | BPF_JEQ | BPF_K, call.value, 1, 0);
    case test::lacks:
        return jump(BPF_JMP | BPF_JSET | BPF_K, call.value, 1, 0);
    case test::has:
        // Only single bits are asked for here, so one set bit is all of them.
        return jump(BPF_JMP | BPF_JSET | BPF_K, call.value, 0, 1);
    case test::this_process:
        return jump(BPF_JMP | BPF_JEQ | BPF_K, self, 0, 1);
    default:
        return jump(BPF_JMP | BPF_JEQ | BPF_K, call.value, 0, 1);
    }
}

// The whole program for the process with ID self; every call it does not
// allow, or a call of another architecture, traps.
constexpr program build_program(uint32_t self)
{
    program code{};
    size_t at = 0;
    code[at++] = load_word(architecture_offset);
    code[at++] = jump(BPF_JMP | BPF_JEQ | BPF_K, own_architecture, 1, 0);
    code[at++] = trap;
    code[at++] = load_word(number_offset);
    code[at++] = jump(BPF_JMP | BPF_JEQ | BPF_K, skipped_call, 0, 1);
    code[at++] = allow;
    if (foreign_call_bit) {
        code[at++] = jump(BPF_JMP | BPF_JSET | BPF_K, x32_call_bit, 0, 1);
        code[at++] = trap;
    }
    for (const allowed_call &call : allowed_calls) {
        const auto skip = static_cast<uint8_t>(block_size(call) - 1);
        code[at++] = jump(BPF_JMP | BPF_JEQ | BPF_K, call.number, 0, skip);
        if (call.kind != test::none) {
            code[at++] = load_word(argument_offset(call.argument));
            code[at++] = argument_test(call, self);
        }
        code[at++] = allow;
        if (call.kind != test::none)
            code[at++] = load_word(number_offset);
    }
    code[at++] = trap;
    return code;
}

static_assert(build_program(0).back().code == (BPF_RET | BPF_K)
                  && build_program(0).back().k == SECCOMP_RET_TRAP,
              "the program ends by trapping whatever it did not allow");

void catch_forbidden_calls(int signal_number, forbidden_call_handler handler)
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

} // namespace

bool confine_process(forbidden_call_handler on_forbidden_call)
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    program code = build_program(static_cast<uint32_t>(getpid()));
    const sock_fprog filter{static_cast<unsigned short>(code.size()), code.data()};
    catch_forbidden_calls(SIGSYS, on_forbidden_call);
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == 0;
}
