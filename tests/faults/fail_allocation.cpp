// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into a velkin run: makes the Nth call of malloc or realloc,
// counted from the start of the process, fail with ENOMEM, where N is
// VELKIN_FAIL_AT. With VELKIN_COUNT_ALLOCATIONS set it fails none and writes
// "allocations: COUNT" to standard error at exit (standard error, since
// velkin's sandbox lets no other descriptor be written). calloc is left
// alone: dlsym itself calls it. No C++ runtime: plain C calls only.
#include <dlfcn.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

using malloc_function = void *(*)(size_t);
using realloc_function = void *(*)(void *, size_t);

malloc_function real_malloc = nullptr;
realloc_function real_realloc = nullptr;
unsigned long calls = 0;
unsigned long fail_at = 0;
bool counting = false;

// Whether this call is the one to fail.
bool fails_now()
{
    ++calls;
    if (calls != fail_at)
        return false;
    errno = ENOMEM;
    return true;
}

[[gnu::constructor]] void start_shim()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    real_malloc = reinterpret_cast<malloc_function>(dlsym(RTLD_NEXT, "malloc"));
    real_realloc = reinterpret_cast<realloc_function>(dlsym(RTLD_NEXT, "realloc"));
    counting = std::getenv("VELKIN_COUNT_ALLOCATIONS") != nullptr;
    const char *at = std::getenv("VELKIN_FAIL_AT");
    fail_at = at != nullptr && !counting ? std::strtoul(at, nullptr, 10) : 0;
}

[[gnu::destructor]] void report_count()
{
    if (!counting)
        return;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "allocations: %lu\n", calls);
    if (length > 0 && write(STDERR_FILENO, line, static_cast<size_t>(length)) < 0) {
        // The count is lost; the test sees no count.
    }
}

} // namespace

extern "C" void *malloc(size_t size)
{
    if (real_malloc == nullptr)
        start_shim();
    return fails_now() ? nullptr : real_malloc(size);
}

extern "C" void *realloc(void *block, size_t size)
{
    if (real_realloc == nullptr)
        start_shim();
    return fails_now() ? nullptr : real_realloc(block, size);
}
