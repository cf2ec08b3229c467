// SPDX-License-Identifier: BSD-2-Clause
#include "hardening.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__FreeBSD__)
#include <malloc_np.h>
#include <sys/procctl.h>
#else
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#if defined(VELKIN_SANDBOX_SECCOMP)
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <fcntl.h>
#include <memory>
#elif defined(VELKIN_SANDBOX_CAPSICUM)
#include <sys/capsicum.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <cerrno>
#include <iterator>
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define VELKIN_UNDER_VALGRIND (RUNNING_ON_VALGRIND != 0)
#else
#define VELKIN_UNDER_VALGRIND false
#endif

namespace {

// Standard input reads ahead into this buffer and the response waits in the
// output one; both are ours so that they can be wiped.
constexpr size_t stream_buffer_size = 8192;
unsigned char input_buffer[stream_buffer_size];
unsigned char output_buffer[stream_buffer_size];

// The secure heap: at least this much, which holds an 8192-bit key and one
// decryption 16 times over and still fits the smallest usual limit on
// locked memory (64 KiB), and more for larger key texts.
constexpr size_t secure_heap_least = 64 * 1024;
// The key's numbers and one decryption take about 0.6 bytes of it per byte of
// key text (4 KiB for the 6.4 KiB text of an 8192-bit key); four bytes leave
// room for its rounding of blocks to powers of two.
constexpr size_t secure_heap_per_text_byte = 4;
constexpr size_t secure_heap_block = 32;

// Below the caller, the decoding of the key has left pieces of it on the
// stack (among them vector registers that the dynamic linker saved there);
// this much stack is wiped once the sandbox is entered.
constexpr size_t stack_wipe_size = 64 * 1024;

// The fuzzer looks for leaks between inputs, and its leak checker cannot see
// into the secure heap: blocks that only the secure heap points to would look
// lost.
#if defined(VELKIN_FUZZ_BUILD)
constexpr bool secure_heap_wanted = false;
#else
constexpr bool secure_heap_wanted = true;
#endif

bool under_valgrind()
{
    return VELKIN_UNDER_VALGRIND;
}

void forbid_tracing()
{
#if defined(__linux__)
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#elif defined(__FreeBSD__)
    int disable = PROC_TRACE_CTL_DISABLE;
    procctl(P_PID, 0, PROC_TRACE_CTL, &disable);
#endif
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

void wipe_block(void *block)
{
    if (block != nullptr)
        OPENSSL_cleanse(block, malloc_usable_size(block));
}

void *allocate(size_t size, const char *, int)
{
    // As libcrypto's own allocator: no block for no bytes.
    return size == 0 ? nullptr : std::malloc(size);
}

void release(void *block, const char *, int)
{
    wipe_block(block);
    std::free(block);
}

// Never lets the C library move a block, which would leave the old copy
// behind unwiped: grows into a new block and wipes the old one.
void *reallocate(void *block, size_t size, const char *file, int line)
{
    if (block == nullptr)
        return allocate(size, file, line);
    if (size == 0) {
        release(block, file, line);
        return nullptr;
    }
    const size_t usable = malloc_usable_size(block);
    if (size <= usable)
        return block;
    void *grown = std::malloc(size);
    if (grown == nullptr)
        return nullptr;
    std::memcpy(grown, block, usable);
    release(block, file, line);
    return grown;
}

void wipe_stream_buffers()
{
    std::fflush(stdout);
    // Only the bytes go: the C library gives unread input back to a seekable
    // standard input by its read position, which stays as it is.
    OPENSSL_cleanse(output_buffer, sizeof output_buffer);
    OPENSSL_cleanse(input_buffer, sizeof input_buffer);
}

void own_stream_buffers()
{
    std::setvbuf(stdin, reinterpret_cast<char *>(input_buffer), _IOFBF, sizeof input_buffer);
    // A terminal gets its output line by line, as the C library would do.
    const int mode = isatty(STDOUT_FILENO) == 1 ? _IOLBF : _IOFBF;
    std::setvbuf(stdout, reinterpret_cast<char *>(output_buffer), mode, sizeof output_buffer);
    std::atexit(wipe_stream_buffers);
}

// Async-signal-safe: a sandboxed call may come from anywhere.
void report_forbidden_call(int)
{
    if (write(STDOUT_FILENO, forbidden_call_error, sizeof forbidden_call_error - 1) < 0) {
        // Nothing more can be done; the status still tells.
    }
    _exit(255);
}

[[maybe_unused]] void catch_forbidden_calls(int signal_number)
{
    struct sigaction action{};
    action.sa_handler = report_forbidden_call;
    sigfillset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// Seeds libcrypto's random generators now, while the system's source of
// randomness may still be used; the blinding of the decryption draws on them.
void draw_randomness()
{
    unsigned char sample[1];
    RAND_bytes(sample, sizeof sample);
    RAND_priv_bytes(sample, sizeof sample);
    OPENSSL_cleanse(sample, sizeof sample);
}

[[gnu::noinline]] void wipe_stack_below()
{
    unsigned char area[stack_wipe_size];
    OPENSSL_cleanse(area, sizeof area);
}

#if defined(VELKIN_SANDBOX_SECCOMP)

struct filter_release {
    void operator()(void *filter) const { seccomp_release(filter); }
};

// One allowed system call, with at most one condition on its arguments.
struct allowed_call {
    int number;
    bool conditioned;
    scmp_arg_cmp condition;
};

constexpr allowed_call any(int number)
{
    return {number, false, {}};
}

constexpr allowed_call when(int number, unsigned arg, scmp_compare op, scmp_datum_t value,
                            scmp_datum_t mask = 0)
{
    // A masked comparison takes the mask first, then the value.
    return op == SCMP_CMP_MASKED_EQ ? allowed_call{number, true, {arg, op, mask, value}}
                                    : allowed_call{number, true, {arg, op, value, 0}};
}

// An ioctl request is 32 bits wide, whatever the caller's type widened it to.
constexpr allowed_call ioctl_request(unsigned long request)
{
    return when(SCMP_SYS(ioctl), 1, SCMP_CMP_MASKED_EQ, request, 0xFFFFFFFFu);
}

// What the rest of the run takes. Reading the challenge: standard input, the
// terminal's settings, and job control while it waits (signals, stopping
// itself, waiting for input). Decrypting and hashing: memory and locks.
// Writing and exiting: standard output and error, and the C library's exit,
// which gives unread input back to a seekable standard input.
const allowed_call calls_allowed_always[] = {
    when(SCMP_SYS(read), 0, SCMP_CMP_EQ, STDIN_FILENO),
    when(SCMP_SYS(readv), 0, SCMP_CMP_EQ, STDIN_FILENO),
    when(SCMP_SYS(write), 0, SCMP_CMP_EQ, STDOUT_FILENO),
    when(SCMP_SYS(write), 0, SCMP_CMP_EQ, STDERR_FILENO),
    when(SCMP_SYS(writev), 0, SCMP_CMP_EQ, STDOUT_FILENO),
    when(SCMP_SYS(writev), 0, SCMP_CMP_EQ, STDERR_FILENO),
    when(SCMP_SYS(lseek), 0, SCMP_CMP_EQ, STDIN_FILENO),
    any(SCMP_SYS(fstat)),
    when(SCMP_SYS(newfstatat), 3, SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH),
    any(SCMP_SYS(close)),
    ioctl_request(TCGETS),  // isatty, tcgetattr
    ioctl_request(TCSETS),  // tcsetattr
    ioctl_request(TCSETSW),
    ioctl_request(TCSETSF),
    ioctl_request(TCFLSH),  // tcflush
    ioctl_request(TIOCGPGRP), // tcgetpgrp
    any(SCMP_SYS(pselect6)),
    any(SCMP_SYS(select)),
    any(SCMP_SYS(poll)),
    any(SCMP_SYS(ppoll)),
    // The handler of forbidden calls must stay in place.
    when(SCMP_SYS(rt_sigaction), 0, SCMP_CMP_NE, SIGSYS),
    any(SCMP_SYS(rt_sigprocmask)),
    any(SCMP_SYS(rt_sigreturn)),
    any(SCMP_SYS(rt_sigsuspend)),
    any(SCMP_SYS(restart_syscall)),
    any(SCMP_SYS(getpid)),
    any(SCMP_SYS(gettid)),
    any(SCMP_SYS(getpgrp)),
    any(SCMP_SYS(getpgid)),
    any(SCMP_SYS(clock_gettime)),
    any(SCMP_SYS(gettimeofday)),
    any(SCMP_SYS(time)),
    any(SCMP_SYS(brk)),
    when(SCMP_SYS(mmap), 2, SCMP_CMP_MASKED_EQ, 0, PROT_EXEC),
    when(SCMP_SYS(mprotect), 2, SCMP_CMP_MASKED_EQ, 0, PROT_EXEC),
    any(SCMP_SYS(mremap)),
    any(SCMP_SYS(munmap)),
    any(SCMP_SYS(madvise)),
    any(SCMP_SYS(futex)),
    any(SCMP_SYS(exit)),
    any(SCMP_SYS(exit_group)),
};

bool allow(void *filter, const allowed_call &call)
{
    // A negative number is libseccomp's stand-in for a call this
    // architecture does not have, which its C library cannot make either.
    if (call.number < 0)
        return true;
    return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call.number,
                                  call.conditioned ? 1 : 0, &call.condition)
        == 0;
}

// raise and kill may signal this process only: stopping itself at Ctrl-Z.
bool allow_signals_to_self(void *filter)
{
    const auto self = static_cast<scmp_datum_t>(getpid());
    return allow(filter, when(SCMP_SYS(kill), 0, SCMP_CMP_EQ, self))
        && allow(filter, when(SCMP_SYS(tgkill), 0, SCMP_CMP_EQ, self));
}

bool confine_calls()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    std::unique_ptr<void, filter_release> filter(seccomp_init(SCMP_ACT_TRAP));
    if (!filter)
        return false;
    for (const allowed_call &call : calls_allowed_always)
        if (!allow(filter.get(), call))
            return false;
    if (!allow_signals_to_self(filter.get()))
        return false;
    catch_forbidden_calls(SIGSYS);
    return seccomp_load(filter.get()) == 0;
}

#elif defined(VELKIN_SANDBOX_CAPSICUM)

// The terminal requests reading the challenge may make: isatty, tcgetattr,
// tcsetattr, tcflush, tcgetpgrp.
const unsigned long terminal_requests[] = {
    TIOCGETA, TIOCSETA, TIOCSETAW, TIOCSETAF, TIOCFLUSH, TIOCGPGRP,
};

// A descriptor that is closed needs no limit.
bool limit_descriptor(int fd, const cap_rights_t *rights)
{
    if (cap_rights_limit(fd, rights) != 0 && errno != EBADF)
        return false;
    return cap_ioctls_limit(fd, terminal_requests, std::size(terminal_requests)) == 0
        || errno == EBADF;
}

bool confine_calls()
{
    // A call capability mode refuses then raises SIGTRAP instead of failing
    // quietly, so that it ends the run with its error line.
    int trap = PROC_TRAPCAP_CTL_ENABLE;
    if (procctl(P_PID, 0, PROC_TRAPCAP_CTL, &trap) != 0)
        return false;
    catch_forbidden_calls(SIGTRAP);
    cap_rights_t input;
    cap_rights_t output;
    cap_rights_init(&input, CAP_READ, CAP_SEEK, CAP_FSTAT, CAP_EVENT, CAP_IOCTL);
    cap_rights_init(&output, CAP_WRITE, CAP_SEEK, CAP_FSTAT, CAP_EVENT, CAP_IOCTL);
    return limit_descriptor(STDIN_FILENO, &input) && limit_descriptor(STDOUT_FILENO, &output)
        && limit_descriptor(STDERR_FILENO, &output) && cap_enter() == 0;
}

#else

bool confine_calls()
{
    return false;
}

#endif

} // namespace

void harden_process()
{
    forbid_tracing();
    CRYPTO_set_mem_functions(allocate, reallocate, release);
    own_stream_buffers();
}

void reserve_key_memory(size_t key_text_size)
{
    if (!secure_heap_wanted || under_valgrind() || CRYPTO_secure_malloc_initialized() == 1)
        return;
    size_t size = secure_heap_least;
    while (size / secure_heap_per_text_byte < key_text_size)
        size *= 2;
    CRYPTO_secure_malloc_init(size, secure_heap_block);
}

void enter_sandbox()
{
    draw_randomness();
    // valgrind knows neither seccomp nor Capsicum.
    if (!under_valgrind())
        confine_calls();
    wipe_stack_below();
}
