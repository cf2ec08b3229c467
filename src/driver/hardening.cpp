// SPDX-License-Identifier: BSD-2-Clause
#include "hardening.h"

#include "sandbox.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <csignal>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/uio.h>
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

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define VELKIN_UNDER_VALGRIND (RUNNING_ON_VALGRIND != 0)
#else
#define VELKIN_UNDER_VALGRIND false
#endif

// Not declared by every system's <unistd.h>.
extern char **environ;

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
// this much stack is wiped once the sandbox is entered, a chunk to a frame,
// as far as the limit on the stack's size allows.
constexpr size_t stack_wipe_size = 64 * 1024;
constexpr size_t stack_wipe_chunk = 4096;
// Left unwiped below the limit: the frames of the wipe itself and of a
// signal handler, the exec'd program's name above the environment, and the
// rounding of the stack to whole pages.
constexpr size_t stack_reserve = 16 * 1024;

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

// libcrypto allocates for itself from its start on, and a failure deep
// inside it may take a wrong path rather than come back: a lock left null, a
// decoder that reports the key undecodable, a decryption that reports the
// ciphertext bad. So a block it cannot have ends the run here, before it can
// go on.
void *allocate(size_t size, const char *, int)
{
    // As libcrypto's own allocator: no block for no bytes.
    if (size == 0)
        return nullptr;
    void *block = std::malloc(size);
    if (block == nullptr)
        end_for_lack_of_memory();
    return block;
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
    void *grown = allocate(size, file, line);
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

// Seeds libcrypto's random generators now, while the system's source of
// randomness may still be used; the blinding of the decryption draws on them.
void draw_randomness()
{
    unsigned char sample[1];
    RAND_bytes(sample, sizeof sample);
    RAND_priv_bytes(sample, sizeof sample);
    OPENSSL_cleanse(sample, sizeof sample);
}

// The top of the stack, or near enough: the end of the highest of the
// strings the system placed there at exec, the environment's last.
uintptr_t stack_top(const void *here)
{
    auto top = reinterpret_cast<uintptr_t>(here);
    for (char **variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        const auto end = reinterpret_cast<uintptr_t>(*variable) + std::strlen(*variable) + 1;
        top = end > top ? end : top;
    }
    return top;
}

// How much of the stack below here may still be used within its limit.
size_t stack_room(const void *here)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return stack_wipe_size + stack_reserve;
    // rlim_t is signed on some systems.
    const auto allowed = static_cast<uintptr_t>(limit.rlim_cur);
    const uintptr_t used = stack_top(here) - reinterpret_cast<uintptr_t>(here);
    return allowed > used ? static_cast<size_t>(allowed - used) : 0;
}

// Wipes one chunk a frame; the wipe after the call keeps each frame alive
// until the deeper ones are done.
[[gnu::noinline]] void wipe_stack_chunks(size_t count)
{
    unsigned char area[stack_wipe_chunk];
    if (count > 1)
        wipe_stack_chunks(count - 1);
    OPENSSL_cleanse(area, sizeof area);
}

// How many chunks of the stack below here to wipe, asked before the sandbox
// forbids asking.
size_t stack_chunks_to_wipe()
{
    const unsigned char mark = 0;
    const size_t room = stack_room(&mark);
    const size_t wipe = room > stack_reserve ? room - stack_reserve : 0;
    return (wipe < stack_wipe_size ? wipe : stack_wipe_size) / stack_wipe_chunk;
}

void refuse_operator_new()
{
    end_for_lack_of_memory();
}

// The one descriptor velkin needs that nothing can stand in for: the
// response goes there.
bool open_on_null(int fd)
{
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
        return true;
    // The lowest free descriptor is the one closed.
    return fd != STDOUT_FILENO && open("/dev/null", O_RDWR) == fd;
}

} // namespace

bool open_standard_descriptors()
{
    return open_on_null(STDIN_FILENO) && open_on_null(STDOUT_FILENO)
        && open_on_null(STDERR_FILENO);
}

void end_for_lack_of_memory()
{
    // Ending here, below the driver, is right in this one case: the process
    // is untraceable and dumps no core, so nothing of it outlives the exit;
    // its memory goes back to the system with it. Only the stream buffers,
    // which may hold a passphrase line, are wiped, which allocates nothing.
    OPENSSL_cleanse(input_buffer, sizeof input_buffer);
    OPENSSL_cleanse(output_buffer, sizeof output_buffer);
    iovec line[] = {
        {const_cast<char *>(out_of_memory_message), sizeof out_of_memory_message - 1},
        {const_cast<char *>("\n"), 1},
    };
    if (writev(STDOUT_FILENO, line, 2) < 0) {
        // Nothing more can be done; the status still tells.
    }
    _exit(255);
}

void harden_process()
{
    forbid_tracing();
    CRYPTO_set_mem_functions(allocate, reallocate, release);
    std::set_new_handler(refuse_operator_new);
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
    const size_t chunks = stack_chunks_to_wipe();
    if (!under_valgrind())
        confine_process(report_forbidden_call);
    if (chunks > 0)
        wipe_stack_chunks(chunks);
}
