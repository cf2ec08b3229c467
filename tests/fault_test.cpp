// SPDX-License-Identifier: BSD-2-Clause
// velkin under faults, run for real: an allocation that fails, a system call
// that fails, standard descriptors that are closed, a small stack. Whatever
// happens, a run ends with the response and status 0, or with exactly one
// error line and status 255; it never crashes, hangs or answers wrongly.
//
// The sweeps try every VELKIN_FAULT_STRIDE-th point (every one with 1, as
// .ci/faults does); by default a share that keeps the suite quick.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int run_timeout_ms = 20000;
// The shares ctest tries by default.
constexpr unsigned default_allocation_stride = 89;
constexpr unsigned default_call_stride = 3;

const std::string challenge_plaintext = "the server's secret";

struct launch {
    std::vector<std::string> argv; // the program first
    std::vector<std::string> environment; // NAME=value, added to the test's
    std::string input;
    std::vector<int> closed; // among 0, 1, 2
    std::vector<std::pair<int, rlim_t>> limits; // resource, bytes
};

struct ending {
    int wait_status = 0;
    bool timed_out = false;
    std::string out;
    std::string err;
    off_t input_read = 0; // how far standard input was read
};

std::string scratch_file(const std::string &contents)
{
    char path[] = "/tmp/velkin-fault-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        return "";
    if (write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
        ADD_FAILURE() << "cannot write " << path;
    close(fd);
    return path;
}

// Reads both pipes to their end, within the time a run may take.
void collect(int out, int err, ending *end, pid_t child)
{
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::milliseconds(run_timeout_ms);
    pollfd fds[] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *into[] = {&end->out, &end->err};
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            end->timed_out = true;
            kill(child, SIGKILL);
            return;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                into[i]->append(chunk, static_cast<size_t>(got));
            } else {
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
}

// Runs the program with standard input read from a file holding the input,
// output and error on pipes, and the descriptors to close closed.
ending run(const launch &what)
{
    ending end;
    const std::string input_path = scratch_file(what.input);
    const int input = open(input_path.c_str(), O_RDONLY);
    unlink(input_path.c_str());
    int out[2];
    int err[2];
    if (input < 0 || pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "cannot set up the run";
        return end;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(input, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {input, out[0], out[1], err[0], err[1]})
            close(fd);
        for (int fd : what.closed)
            close(fd);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        for (const auto &limit : what.limits) {
            rlimit now{};
            getrlimit(limit.first, &now);
            now.rlim_cur = limit.second;
            setrlimit(limit.first, &now);
        }
        for (const auto &entry : what.environment)
            putenv(const_cast<char *>(entry.c_str()));
        std::vector<char *> argv;
        for (const auto &word : what.argv)
            argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    collect(out[0], err[0], &end, child);
    close(out[0]);
    close(err[0]);
    waitpid(child, &end.wait_status, 0);
    end.input_read = lseek(input, 0, SEEK_CUR);
    close(input);
    return end;
}

std::string describe(const ending &end)
{
    std::ostringstream text;
    if (end.timed_out)
        text << "hung; ";
    if (WIFSIGNALED(end.wait_status))
        text << "killed by signal " << WTERMSIG(end.wait_status);
    else
        text << "status " << exit_code(end.wait_status);
    text << ", out \"" << end.out << "\", err \"" << end.err << "\"";
    return text.str();
}

bool is_one_error_line(const std::string &out)
{
    return out.rfind("Error: ", 0) == 0 && out.find('\n') == out.size() - 1;
}

// What the run must have done, however it ended.
struct rule {
    const char *only_error = nullptr; // the one error line allowed, if not any
    bool output_may_fail = false; // the fault was on standard output itself
    bool output_closed = false;
};

// Empty when the run kept its word, else what it did instead.
std::string broken_word(const ending &end, const rule &expected = {})
{
    const std::string answer = expected_response(challenge_plaintext) + "\n";
    const int status = exit_code(end.wait_status);
    bool kept = false;
    if (end.timed_out || WIFSIGNALED(end.wait_status))
        kept = false;
    else if (!end.err.empty())
        kept = false;
    else if (status == 0)
        kept = !expected.output_closed && end.out == answer;
    else if (status == 255 && expected.output_closed)
        kept = end.out.empty();
    else if (status == 255 && end.out.empty())
        kept = expected.output_may_fail;
    else if (status == 255)
        kept = expected.only_error ? end.out == expected.only_error : is_one_error_line(end.out);
    return kept ? "" : describe(end);
}

unsigned stride(unsigned fallback)
{
    const char *given = std::getenv("VELKIN_FAULT_STRIDE");
    const unsigned value = given ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : 0;
    return value > 0 ? value : fallback;
}

struct key_case {
    const char *why;
    const char *file;
    const char *passphrase; // the first line piped in
};

// The same 2048-bit key, without a passphrase and as PBKDF2/AES-256 PKCS#8.
const key_case keys[] = {
    {"unprotected key", "rsa2048.pem", ""},
    {"protected key", "rsa2048-pkcs8-pbes2.pem", fixture_passphrase},
};

std::string piped_input(const key_case &key)
{
    return std::string(key.passphrase) + "\n"
        + make_challenge(fixture("rsa2048.pub.pem"), challenge_plaintext) + "\n";
}

launch velkin_run(const key_case &key)
{
    return {{VELKIN_BINARY, fixture(key.file)}, {}, piped_input(key), {}, {}};
}

// Collects what went wrong at which points, to report a few and count all.
struct findings {
    std::vector<std::string> faults;
    std::map<std::string, unsigned> outcomes; // first line of output, or the status

    void note(const std::string &point, const ending &end, const rule &expected)
    {
        const std::string broken = broken_word(end, expected);
        const std::string first = end.out.substr(0, end.out.find('\n'));
        ++outcomes[broken.empty() ? first : "broken"];
        if (std::getenv("VELKIN_FAULT_VERBOSE") != nullptr)
            std::printf("%s: %s\n", point.c_str(), describe(end).c_str());
        if (!broken.empty())
            faults.push_back(point + ": " + broken);
    }

    std::string report(unsigned tried) const
    {
        std::ostringstream text;
        text << tried << " points:";
        for (const auto &outcome : outcomes)
            text << " " << outcome.second << " \"" << outcome.first << "\";";
        for (size_t i = 0; i < faults.size() && i < 20; ++i)
            text << "\n  " << faults[i];
        return text.str();
    }
};

// In builds with sanitizers the sanitizers' runtime comes first: it must be
// the first allocator, reserves more memory and stack than any limit here
// allows, and its leak check cannot run under a tracer.
constexpr const char *sanitized = "the sanitizers' runtime cannot run under this fault";

bool has_strace()
{
    return !VELKIN_SANITIZED && std::system("strace -V >/dev/null 2>&1") == 0;
}

// One line of strace's output: the call's name, its text and its result.
struct traced_call {
    std::string name;
    std::string line;
    long result;
};

std::vector<traced_call> read_trace(const std::string &path)
{
    std::vector<traced_call> calls;
    std::ifstream trace(path);
    for (std::string line; std::getline(trace, line);) {
        const size_t paren = line.find('(');
        const size_t equals = line.rfind(") = ");
        if (paren == std::string::npos || paren == 0 || line[0] == '-' || line[0] == '+')
            continue;
        const long result = equals == std::string::npos
            ? 0
            : std::strtol(line.c_str() + equals + 4, nullptr, 10);
        calls.push_back({line.substr(0, paren), line, result});
    }
    return calls;
}

struct trace {
    std::vector<traced_call> calls; // from the start of the process
    size_t main_starts = 0; // index of the first call in main
    ending end;
};

// Runs velkin under strace, tracing the given calls. The first thing velkin
// does in main is look at descriptor 0, which marks where main starts.
trace trace_run(launch what, const std::string &calls = "all")
{
    const std::string path = scratch_file("");
    what.argv.insert(what.argv.begin(), {"strace", "-qq", "-o", path, "-e", "trace=" + calls});
    trace traced;
    traced.end = run(what);
    traced.calls = read_trace(path);
    unlink(path.c_str());
    EXPECT_FALSE(traced.end.timed_out);
    const auto start = std::find_if(traced.calls.begin(), traced.calls.end(),
                                    [](const traced_call &call) {
                                        return call.line.rfind("fcntl(0, F_GETFD)", 0) == 0;
                                    });
    EXPECT_NE(start, traced.calls.end()) << "no start of main in the trace";
    traced.main_starts = static_cast<size_t>(start - traced.calls.begin());
    return traced;
}

TEST(Faults, EveryFailedAllocationEndsWithOutOfMemory)
{
    if (VELKIN_SANITIZED)
        GTEST_SKIP() << sanitized;
    const unsigned step = stride(default_allocation_stride);
    for (const auto &key : keys) {
        SCOPED_TRACE(key.why);
        launch counted = velkin_run(key);
        counted.environment = {"LD_PRELOAD=" FAIL_ALLOCATION_SHIM, "VELKIN_COUNT_ALLOCATIONS=1"};
        const ending clean = run(counted);
        unsigned total = 0;
        ASSERT_EQ(std::sscanf(clean.err.c_str(), "allocations: %u", &total), 1) << clean.err;
        findings found;
        unsigned tried = 0;
        for (unsigned n = 1; n <= total; n += step, ++tried) {
            launch failing = velkin_run(key);
            failing.environment = {"LD_PRELOAD=" FAIL_ALLOCATION_SHIM,
                                   "VELKIN_FAIL_AT=" + std::to_string(n)};
            rule expected;
            expected.only_error = out_of_memory_error;
            found.note("allocation " + std::to_string(n), run(failing), expected);
        }
        EXPECT_TRUE(found.faults.empty()) << found.report(tried);
        std::printf("%s, %u allocations: %s\n", key.why, total, found.report(tried).c_str());
    }
}

// The errors a careful tester injects into each call in turn.
const struct {
    const char *name;
} injected_errors[] = {
    {"EIO"}, {"ENOMEM"}, {"EINTR"}, {"ENOSPC"}, {"EACCES"}, {"EMFILE"}, {"EAGAIN"}, {"EPERM"},
};

// Calls whose failure the kernel never reports as an error number, or where
// it would be no failure of the run but of the exit already under way. brk
// reports a failure by returning the break unchanged (a memory limit makes
// it fail for real, below); a futex wake on a lock of the process's own
// fails only when memory is corrupt, and the C library then aborts on
// purpose.
bool never_fails(const std::string &name)
{
    return name == "exit_group" || name == "exit" || name == "rt_sigreturn" || name == "futex"
        || name == "brk";
}

bool writes_output(const traced_call &call)
{
    return (call.name == "write" || call.name == "writev")
        && (call.line.rfind(call.name + "(1,", 0) == 0);
}

TEST(Faults, EveryFailedSystemCallEndsWithOneLine)
{
    if (!has_strace())
        GTEST_SKIP() << (VELKIN_SANITIZED ? sanitized : "strace is not installed");
    const unsigned step = stride(default_call_stride);
    for (const auto &key : keys) {
        SCOPED_TRACE(key.why);
        const trace traced = trace_run(velkin_run(key));
        findings found;
        unsigned tried = 0;
        unsigned index = 0;
        // strace counts a call's occurrences from the start of the process.
        std::map<std::string, unsigned> occurrence;
        for (size_t i = 0; i < traced.calls.size(); ++i) {
            const traced_call &call = traced.calls[i];
            const unsigned nth = ++occurrence[call.name];
            if (i < traced.main_starts || never_fails(call.name))
                continue;
            for (const auto &error : injected_errors) {
                if (index++ % step != 0)
                    continue;
                ++tried;
                const std::string inject = call.name + ":error=" + error.name + ":when="
                    + std::to_string(nth);
                launch failing = velkin_run(key);
                failing.argv.insert(failing.argv.begin(),
                                    {"strace", "-qq", "-o", "/dev/null", "-e",
                                     "trace=" + call.name, "-e", "inject=" + inject});
                rule expected;
                expected.output_may_fail = writes_output(call);
                found.note(inject, run(failing), expected);
            }
        }
        EXPECT_TRUE(found.faults.empty()) << found.report(tried);
        std::printf("%s, %zu calls after main: %s\n", key.why,
                    traced.calls.size() - traced.main_starts, found.report(tried).c_str());
    }
}

TEST(Faults, AMemoryLimitEndsWithOutOfMemory)
{
    // A limit on the data size makes brk and mmap fail as they would for
    // real: from the least limit at which velkin starts to the first at
    // which it answers, in steps of a few pages.
    constexpr rlim_t step = 16 * 1024;
    constexpr rlim_t ceiling = 64 * 1024 * 1024;
    if (VELKIN_SANITIZED)
        GTEST_SKIP() << sanitized;
    for (const auto &key : keys) {
        SCOPED_TRACE(key.why);
        findings found;
        unsigned tried = 0;
        bool answered = false;
        for (rlim_t limit = step; limit < ceiling && !answered; limit += step) {
            launch limited = velkin_run(key);
            limited.limits = {{RLIMIT_DATA, limit}};
            // Below some limit the dynamic loader cannot map the libraries
            // and fails or crashes before velkin's own code runs at all.
            launch started = limited;
            started.argv = {VELKIN_BINARY, "--version"};
            if (exit_code(run(started).wait_status) != 0)
                continue;
            const ending end = run(limited);
            ++tried;
            answered = exit_code(end.wait_status) == 0;
            rule expected;
            expected.only_error = out_of_memory_error;
            found.note("data limit " + std::to_string(limit), end, expected);
        }
        EXPECT_TRUE(answered) << found.report(tried);
        EXPECT_TRUE(found.faults.empty()) << found.report(tried);
    }
}

// A SoftHSM2 token in a folder of its own holding the fixture key, and the
// run that answers with it.
class ClosedDescriptors : public testing::Test {
protected:
    void TearDown() override
    {
        if (!folder.empty() && std::system(("rm -rf " + folder).c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << folder;
    }

    bool make_token(launch *run_with_token)
    {
        const std::string module = softhsm_module();
        char dir[] = "/tmp/velkin-fault-token-XXXXXX";
        if (module.empty() || mkdtemp(dir) == nullptr)
            return false;
        folder = dir;
        const std::string config = folder + "/softhsm2.conf";
        std::ofstream(config) << "directories.tokendir = " << folder
                              << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
        const std::string tools = "mkdir " + folder + "/tokens && export SOFTHSM2_CONF=" + config
            + " && softhsm2-util --init-token --free --label velkin-test --so-pin 12345678"
              " --pin 1234 && softhsm2-util --import " + fixture("rsa2048-pkcs8.pem")
            + " --token velkin-test --label login-key --id 01 --pin 1234";
        if (std::system(("(" + tools + ") >/dev/null 2>&1").c_str()) != 0)
            return false;
        *run_with_token = {{VELKIN_BINARY,
                            "pkcs11:token=velkin-test;object=login-key?module-path=" + module},
                           {"SOFTHSM2_CONF=" + config},
                           "1234\n" + make_challenge(fixture("rsa2048.pub.pem"), challenge_plaintext)
                               + "\n",
                           {},
                           {}};
        return true;
    }

    std::string folder;
};

// The calls that hand out a new descriptor.
bool opens_descriptor(const std::string &name)
{
    return name == "open" || name == "openat" || name == "socket" || name == "dup"
        || name == "pipe2" || name == "eventfd2" || name == "memfd_create";
}

// The descriptors 0, 1 and 2 that something after velkin's own first step
// was handed: velkin opens /dev/null on the closed ones before anything else.
std::vector<std::string> standard_descriptors_handed_out(const trace &traced)
{
    std::vector<std::string> handed;
    bool own_step = true;
    for (size_t i = traced.main_starts; i < traced.calls.size(); ++i) {
        const traced_call &call = traced.calls[i];
        const bool own = own_step && call.line.find("\"/dev/null\", O_RDWR") != std::string::npos;
        own_step = own_step && (call.name == "fcntl" || own);
        if (!own && opens_descriptor(call.name) && call.result >= 0 && call.result <= 2)
            handed.push_back(call.line);
    }
    return handed;
}

TEST_F(ClosedDescriptors, NothingOpenedTakesTheirPlace)
{
    launch with_token;
    const bool token = make_token(&with_token);
    const struct {
        const char *why;
        launch what;
    } runs[] = {
        {"key file", velkin_run(keys[0])},
        {"token", with_token},
    };
    // With standard output closed nothing can carry the response: the run
    // ends at once, having read nothing. Without standard input there is no
    // challenge; without standard error nothing is missed.
    const struct {
        std::vector<int> closed;
        const char *redirections; // the same, as the shell writes it
        bool answers;
    } cases[] = {
        {{0}, "<&-", false},
        {{1}, ">&-", false},
        {{2}, "2>&-", true},
        {{0, 2}, "<&- 2>&-", false},
        {{0, 1, 2}, "<&- >&- 2>&-", false},
    };
    for (const auto &r : runs) {
        if (std::string(r.why) == "token" && !token)
            continue;
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(r.why) + " with " + c.redirections);
            launch what = r.what;
            what.closed = c.closed;
            const ending end = run(what);
            rule expected;
            expected.output_closed = std::count(c.closed.begin(), c.closed.end(), 1) > 0;
            EXPECT_EQ(broken_word(end, expected), "");
            EXPECT_EQ(exit_code(end.wait_status) == 0, c.answers) << describe(end);
            if (expected.output_closed) {
                EXPECT_EQ(end.input_read, 0);
            }
            if (!has_strace())
                continue;
            // Closed by a shell inside the traced process, so that strace's
            // own files take none of them.
            launch traced_what = r.what;
            traced_what.argv.insert(traced_what.argv.begin(),
                                    {"sh", "-c",
                                     std::string("exec ") + c.redirections + "; exec \"$0\" \"$@\""});
            const trace traced = trace_run(traced_what);
            EXPECT_EQ(standard_descriptors_handed_out(traced), std::vector<std::string>{});
            if (expected.output_closed) {
                EXPECT_LE(traced.calls.size() - traced.main_starts, 4u)
                    << "more than the look at descriptors 0 and 1 before the exit";
            }
        }
    }
    if (!token)
        GTEST_SKIP() << "SoftHSM2 is not installed: tried the key file only";
}

TEST(Faults, ASmallStackAnswers)
{
    if (VELKIN_SANITIZED)
        GTEST_SKIP() << sanitized;
    for (const auto &key : keys) {
        for (const rlim_t kib : {32, 48, 64}) {
            SCOPED_TRACE(std::string(key.why) + ", stack of " + std::to_string(kib) + " KiB");
            launch small = velkin_run(key);
            small.limits = {{RLIMIT_STACK, kib * 1024}};
            const ending end = run(small);
            EXPECT_EQ(exit_code(end.wait_status), 0) << describe(end);
            EXPECT_EQ(broken_word(end), "");
        }
    }
}

} // namespace
