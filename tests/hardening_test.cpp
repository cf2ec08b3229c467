// SPDX-License-Identifier: BSD-2-Clause
// Secrets stay inside velkin: while it waits for the challenge no other
// process of its user can read its memory, it is confined to the system calls
// the rest of the run takes, and its memory holds no copy of the passphrase or
// of the key outside the locked secure heap; at exit nothing is left at all.
#include "harness.h"
#include "hardening.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

#if defined(__FreeBSD__)
#include <sys/capsicum.h>
#include <sys/param.h>
#include <sys/proc.h>
#include <sys/procctl.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#endif

#include VELKIN_FORKPTY_HEADER

namespace {

using clock_type = std::chrono::steady_clock;

const std::string public_key = fixture("rsa2048.pub.pem");
constexpr uid_t nobody = 65534;
constexpr char terminal_challenge_prompt[] = "Please paste challenge text now";

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string proc_file(pid_t pid, const char *name)
{
    return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// Searching velkin's memory reads /proc/PID/smaps and /proc/PID/mem, and
// reaching its exit alive takes ptrace's stop at exit: all three are Linux's.
#if defined(__linux__)
constexpr bool memory_can_be_searched = true;
#else
constexpr bool memory_can_be_searched = false;
#endif

#if defined(__linux__)

// The value of a "Name:\tvalue" line of /proc/PID/status.
std::string status_field(pid_t pid, const std::string &name)
{
    std::istringstream status(proc_file(pid, "status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

bool is_asleep(pid_t pid)
{
    const std::string stat = proc_file(pid, "stat");
    const size_t name_end = stat.rfind(')');
    return name_end != std::string::npos && name_end + 2 < stat.size() && stat[name_end + 2] == 'S';
}

void trace_me()
{
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
}

// From the stop at exec on, the traced run stops once more as it exits, and
// dies with this process.
void trace_to_exit(pid_t pid)
{
    const intptr_t options = PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(options));
}

bool is_exit_stop(int wait_status)
{
    return wait_status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8));
}

void resume(pid_t pid, int signal_number)
{
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(intptr_t{signal_number}));
}

#elif defined(__FreeBSD__)

// What the kernel says of a process: kern.proc.pid.PID.
bool process_info(pid_t pid, kinfo_proc &info)
{
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    size_t size = sizeof info;
    return sysctl(name, std::size(name), &info, &size, nullptr, 0) == 0 && size == sizeof info;
}

bool is_asleep(pid_t pid)
{
    kinfo_proc info{};
    return process_info(pid, info) && info.ki_stat == SSLEEP;
}

void trace_me()
{
    ptrace(PT_TRACE_ME, 0, nullptr, 0);
}

// FreeBSD's ptrace has no stop at exit; memory_can_be_searched is false.
void trace_to_exit(pid_t) {}

bool is_exit_stop(int)
{
    return false;
}

void resume(pid_t pid, int signal_number)
{
    ptrace(PT_CONTINUE, pid, reinterpret_cast<caddr_t>(1), signal_number);
}

#else
#error "these tests watch a process the ways of Linux and FreeBSD only"
#endif

// velkin running with its standard input a pipe we hold open, or a terminal.
struct velkin_run {
    pid_t pid = -1;
    int to = -1;          // its standard input: a pipe's write end, or the terminal
    int from = -1;        // its standard output and error
    int input_probe = -1; // piped: our copy of its input's read end
    bool at_terminal = false;
    std::string seen;
};

[[noreturn]] void exec_as_velkin(const std::string &binary, const std::string &key, bool traced,
                                 const std::string &core_folder)
{
    // Started in core_folder with core files allowed, or with none.
    const rlimit core = core_folder.empty() ? rlimit{0, 0} : rlimit{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &core);
    if (!core_folder.empty() && chdir(core_folder.c_str()) != 0)
        _exit(127);
    if (traced)
        trace_me();
    execl(binary.c_str(), binary.c_str(), key.c_str(), static_cast<char *>(nullptr));
    _exit(127);
}

// Traced runs stop at exec and again as they exit, when their memory is
// still there to be read.
velkin_run start_velkin(const std::string &binary, const std::string &key, bool at_terminal,
                        bool traced = false, const std::string &core_folder = "")
{
    velkin_run run;
    run.at_terminal = at_terminal;
    if (at_terminal) {
        int master = -1;
        run.pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (run.pid == 0)
            exec_as_velkin(binary, key, traced, core_folder);
        run.to = run.from = master;
    } else {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return run;
        run.pid = fork();
        if (run.pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1]})
                close(fd);
            exec_as_velkin(binary, key, traced, core_folder);
        }
        close(out[1]);
        run.to = in[1];
        run.from = out[0];
        run.input_probe = in[0];
    }
    if (traced) {
        int status = 0;
        waitpid(run.pid, &status, 0); // the stop at exec
        trace_to_exit(run.pid);
        resume(run.pid, 0);
    }
    return run;
}

void send(const velkin_run &run, const std::string &text)
{
    ASSERT_EQ(write(run.to, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

std::string line_end(const velkin_run &run)
{
    return run.at_terminal ? "\r" : "\n";
}

bool wait_for_text(velkin_run &run, const std::string &text, int timeout_ms = 10000)
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (run.seen.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - clock_type::now()).count();
        pollfd fd{run.from, POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0)
            return false;
        char chunk[4096];
        const ssize_t got = read(run.from, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        run.seen.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

// The passphrase line: typed at the passphrase prompt, or the first piped
// line (which a key without passphrase skips).
void give_passphrase(velkin_run &run, bool is_protected)
{
    if (!run.at_terminal) {
        send(run, std::string(fixture_passphrase) + "\n");
        return;
    }
    if (!is_protected)
        return;
    ASSERT_TRUE(wait_for_text(run, passphrase_prompt)) << run.seen;
    send(run, std::string(fixture_passphrase) + "\r");
}

size_t unread_input(const velkin_run &run)
{
    int unread = 0;
    ioctl(run.input_probe, FIONREAD, &unread);
    return static_cast<size_t>(unread);
}

// Waits until velkin has taken everything sent so far and sleeps in its read
// of the challenge: after the prompt at a terminal, once the pipe is empty
// otherwise (all that was sent was the passphrase line).
bool wait_for_challenge_read(velkin_run &run)
{
    if (run.at_terminal && !wait_for_text(run, terminal_challenge_prompt))
        return false;
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (clock_type::now() < deadline) {
        if ((run.at_terminal || unread_input(run) == 0) && is_asleep(run.pid))
            return true;
        usleep(2000);
    }
    return false;
}

struct run_result {
    int wait_status = -1;
    std::string out;
};

// Sends the challenge line and reads everything to the end. A traced run is
// handed to at_exit when it stops on its way out.
run_result finish_velkin(velkin_run &run, const std::string &challenge,
                         const std::function<void(pid_t)> &at_exit = nullptr)
{
    send(run, challenge + line_end(run));
    if (!run.at_terminal)
        close(run.to);
    run_result result;
    for (;;) {
        if (waitpid(run.pid, &result.wait_status, 0) < 0)
            break;
        if (!WIFSTOPPED(result.wait_status))
            break;
        int deliver = 0;
        if (is_exit_stop(result.wait_status)) {
            if (at_exit)
                at_exit(run.pid);
        } else {
            deliver = WSTOPSIG(result.wait_status);
        }
        resume(run.pid, deliver);
    }
    for (char chunk[4096];;) {
        const ssize_t got = read(run.from, chunk, sizeof chunk);
        if (got <= 0)
            break;
        run.seen.append(chunk, static_cast<size_t>(got));
    }
    result.out = run.seen;
    close(run.from);
    if (run.input_probe >= 0)
        close(run.input_probe);
    return result;
}

void kill_velkin(velkin_run &run)
{
    kill(run.pid, SIGKILL);
    finish_velkin(run, "");
}

std::string answer_line(const velkin_run &run, const std::string &plaintext)
{
    return run.at_terminal ? std::string(response_prefix) + expected_response(plaintext) + "\r\n"
                           : expected_response(plaintext) + "\n";
}

// --- Reading a process's memory (needs CAP_SYS_PTRACE: velkin is not dumpable)

struct region {
    uintptr_t start = 0;
    uintptr_t end = 0;
    bool readable = false;
    std::string name;
    std::string vm_flags;

    bool locked_out_of_dumps() const
    {
        const std::string flags = " " + vm_flags + " ";
        return flags.find(" lo ") != std::string::npos && flags.find(" dd ") != std::string::npos;
    }
};

std::vector<region> regions_of(pid_t pid)
{
    std::vector<region> regions;
    std::istringstream smaps(proc_file(pid, "smaps"));
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind("VmFlags:", 0) == 0 && !regions.empty()) {
            regions.back().vm_flags = line.substr(8);
            continue;
        }
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode;
        if (!(fields >> range >> perms >> offset >> device >> inode)
            || range.find('-') == std::string::npos || range.find(':') != std::string::npos)
            continue;
        region r;
        r.start = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
        r.end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
        r.readable = perms[0] == 'r';
        std::getline(fields >> std::ws, r.name);
        regions.push_back(r);
    }
    return regions;
}

struct needle {
    std::string what;
    std::string bytes; // at least 8 bytes
};

struct hit {
    std::string what;
    const region *where;
};

uint64_t first_word(const char *bytes)
{
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Every place in the process's readable memory where a needle lies.
std::vector<hit> search_memory(pid_t pid, const std::vector<region> &regions,
                               const std::vector<needle> &needles)
{
    std::unordered_multimap<uint64_t, const needle *> by_start;
    for (const needle &n : needles)
        by_start.emplace(first_word(n.bytes.data()), &n);
    std::vector<hit> hits;
    const int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (mem < 0)
        return hits;
    std::string bytes;
    for (const region &r : regions) {
        if (!r.readable || r.name == "[vsyscall]" || r.name == "[vvar]")
            continue;
        bytes.assign(r.end - r.start, '\0');
        if (pread(mem, &bytes[0], bytes.size(), static_cast<off_t>(r.start))
            != static_cast<ssize_t>(bytes.size()))
            continue;
        for (size_t at = 0; at + 8 <= bytes.size(); ++at) {
            const auto [from, to] = by_start.equal_range(first_word(&bytes[at]));
            for (auto i = from; i != to; ++i)
                if (bytes.compare(at, i->second->bytes.size(), i->second->bytes) == 0)
                    hits.push_back({i->second->what, &r});
        }
    }
    close(mem);
    return hits;
}

// --- What the test key holds

EVP_PKEY *load_test_key()
{
    FILE *file = std::fopen(fixture("rsa2048.pem").c_str(), "r");
    EVP_PKEY *key = file ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    return key;
}

// The key's DER encoding in every 32-byte slice.
std::vector<needle> der_slices(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int length = i2d_PrivateKey(key, &der);
    std::vector<needle> slices;
    for (int at = 0; at + 32 <= length; ++at)
        slices.push_back({"32 bytes of the key's DER at " + std::to_string(at),
                          std::string(reinterpret_cast<char *>(der) + at, 32)});
    OPENSSL_free(der);
    return slices;
}

// The key's private numbers as they lie in memory (little-endian words), in
// 32-byte slices.
std::vector<needle> private_numbers(EVP_PKEY *key)
{
    std::vector<needle> slices;
    for (const char *name : {OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1,
                             OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
        BIGNUM *number = nullptr;
        EVP_PKEY_get_bn_param(key, name, &number);
        std::string bytes(static_cast<size_t>(BN_num_bytes(number)), '\0');
        BN_bn2lebinpad(number, reinterpret_cast<unsigned char *>(&bytes[0]),
                       static_cast<int>(bytes.size()));
        BN_free(number);
        for (size_t at = 0; at + 32 <= bytes.size(); at += 8)
            slices.push_back({std::string(name) + " at " + std::to_string(at), bytes.substr(at, 32)});
    }
    return slices;
}

// The Base64 lines of a key file.
std::vector<needle> key_file_lines(const std::string &path)
{
    std::vector<needle> lines;
    std::istringstream text(read_file(path));
    for (std::string line; std::getline(text, line);)
        if (line.size() >= 16 && line.find("-----") == std::string::npos
            && line.find(':') == std::string::npos)
            lines.push_back({"key file line " + line.substr(0, 8) + "...", line});
    return lines;
}

bool is_root()
{
    return geteuid() == 0;
}

// velkin and its key, where the unprivileged user can reach them.
struct staged_files {
    std::string folder;
    std::string binary;

    staged_files()
    {
        char path[] = "/tmp/velkin-staged-XXXXXX";
        folder = mkdtemp(path);
        chmod(folder.c_str(), 0755);
        binary = folder + "/velkin";
        copy(VELKIN_BINARY, binary, 0755);
    }
    ~staged_files()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string key(const std::string &name) const
    {
        const std::string path = folder + "/" + name;
        copy(fixture(name), path, 0644);
        return path;
    }
    static void copy(const std::string &from, const std::string &to, mode_t mode)
    {
        std::ofstream(to, std::ios::binary) << read_file(from);
        chmod(to.c_str(), mode);
    }
};

struct key_case {
    const char *file;
    bool is_protected;
};

// PKCS#1 and PKCS#8, protected and not: the same 2048-bit key.
const key_case key_forms[] = {
    {"rsa2048.pem", false},
    {"rsa2048-pkcs8.pem", false},
    {"rsa2048-aes256.pem", true},
    {"rsa2048-pkcs8-pbes2.pem", true},
};

// Inside the process, the system's own word that it is confined where it
// has one: Capsicum's cap_getmode. A seccomp filter allows no call that would
// ask, so on Linux the refusals that follow are the only word.
bool says_it_is_confined()
{
#if defined(__FreeBSD__)
    u_int mode = 0;
    return cap_getmode(&mode) == 0 && mode != 0;
#else
    return true;
#endif
}

TEST(Sandbox, ForbiddenCallEndsTheRunWithItsErrorLine)
{
    if (!VELKIN_SANDBOXED)
        GTEST_SKIP() << "this build has no sandbox";
    int other[2];
    ASSERT_EQ(pipe(other), 0);
    const struct {
        const char *why;
        std::function<void()> call;
    } cases[] = {
        {"open a file", [] { open("/etc/hostname", O_RDONLY); }},
        {"open a socket", [] { socket(AF_INET, SOCK_STREAM, 0); }},
        {"start a program",
         [] { execl("/bin/true", "true", static_cast<char *>(nullptr)); }},
        {"write to another descriptor",
         [&] {
             if (write(other[1], "x", 1) < 0) {
             }
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], STDOUT_FILENO);
            enter_sandbox();
            std::fputs(says_it_is_confined() ? "confined\n" : "not in capability mode\n", stdout);
            std::fflush(stdout);
            c.call();
            _exit(0);
        }
        close(out[1]);
        const std::string shown = read_to_end(out[0]);
        close(out[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(shown, std::string("confined\n") + forbidden_call_error);
        EXPECT_EQ(exit_code(status), 255) << "status " << status;
    }
    close(other[0]);
    close(other[1]);
}

// What a process of velkin's own (unprivileged) user finds while velkin
// waits for the challenge.
struct confinement {
    char seccomp[8] = "";         // Linux: the fields of its /proc/PID/status
    char no_new_privs[8] = "";
    bool capability_mode = false; // FreeBSD: its credential's flag, as ps shows it
    bool untraceable = false;     // FreeBSD: procctl's PROC_TRACE_STATUS
    bool core_limit_zero = false;
    bool memory_readable = true;
    bool attachable = true;
    bool answered = false;
    char shown[512] = "";
};

constexpr char observed_plaintext[] = "seen from next door";

#if defined(__linux__)

// The sandbox, the core limit and ptrace, as /proc and ptrace show them.
void look_at(pid_t pid, confinement &seen)
{
    std::snprintf(seen.seccomp, sizeof seen.seccomp, "%s", status_field(pid, "Seccomp").c_str());
    std::snprintf(seen.no_new_privs, sizeof seen.no_new_privs, "%s",
                  status_field(pid, "NoNewPrivs").c_str());
    std::istringstream limits(proc_file(pid, "limits"));
    for (std::string line; std::getline(limits, line);) {
        std::istringstream values(line.substr(std::min(line.size(), size_t{26})));
        std::string soft, hard;
        if (line.rfind("Max core file size", 0) == 0 && values >> soft >> hard)
            seen.core_limit_zero = soft == "0" && hard == "0";
    }
    seen.attachable = ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) == 0;
    if (seen.attachable) {
        int status = 0;
        waitpid(pid, &status, 0);
        ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    }
}

#elif defined(__FreeBSD__)

// The sandbox, tracing and the core limit, as the kernel's sysctls and
// procctl show them to another process, and ptrace.
void look_at(pid_t pid, confinement &seen)
{
    kinfo_proc info{};
    seen.capability_mode
        = process_info(pid, info) && (info.ki_cr_flags & KI_CRF_CAPABILITY_MODE) != 0;
    int trace_status = 0;
    // -1: tracing disabled, 0: not traced, else the tracer's process ID.
    seen.untraceable
        = procctl(P_PID, pid, PROC_TRACE_STATUS, &trace_status) == 0 && trace_status == -1;
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT, pid, RLIMIT_CORE};
    rlimit core{};
    size_t size = sizeof core;
    seen.core_limit_zero = sysctl(name, std::size(name), &core, &size, nullptr, 0) == 0
        && size == sizeof core && core.rlim_cur == 0 && core.rlim_max == 0;
    seen.attachable = ptrace(PT_ATTACH, pid, nullptr, 0) == 0;
    if (seen.attachable) {
        int status = 0;
        waitpid(pid, &status, 0);
        ptrace(PT_DETACH, pid, reinterpret_cast<caddr_t>(1), 0);
    }
}

#endif

// The challenge is made by the caller: the unprivileged user may not be able
// to reach the public key where the sources lie.
confinement observe_as_own_user(const std::string &binary, const std::string &key,
                                const key_case &form, bool at_terminal,
                                const std::string &challenge)
{
    confinement seen;
    const std::string plaintext = observed_plaintext;
    velkin_run run = start_velkin(binary, key, at_terminal);
    give_passphrase(run, form.is_protected);
    if (!wait_for_challenge_read(run)) {
        kill_velkin(run);
        std::snprintf(seen.shown, sizeof seen.shown, "%s", run.seen.c_str());
        return seen;
    }
    look_at(run.pid, seen);
    // FreeBSD too has /proc/PID/mem where procfs is mounted.
    const int mem = open(("/proc/" + std::to_string(run.pid) + "/mem").c_str(), O_RDONLY);
    seen.memory_readable = mem >= 0;
    if (mem >= 0)
        close(mem);
    const run_result result = finish_velkin(run, challenge);
    seen.answered = exit_code(result.wait_status) == 0
        && result.out.size() >= answer_line(run, plaintext).size()
        && result.out.compare(result.out.size() - answer_line(run, plaintext).size(),
                              std::string::npos, answer_line(run, plaintext)) == 0;
    std::snprintf(seen.shown, sizeof seen.shown, "%s", result.out.c_str());
    return seen;
}

// As root, velkin and the observer run as an unprivileged user, the observer
// being velkin's parent, so that only velkin's own hardening keeps it out.
confinement observe_unprivileged(const staged_files &staged, const key_case &form, bool at_terminal)
{
    const std::string challenge = make_challenge(public_key, observed_plaintext);
    if (!is_root())
        return observe_as_own_user(VELKIN_BINARY, fixture(form.file), form, at_terminal, challenge);
    const std::string key = staged.key(form.file);
    int report[2];
    if (pipe(report) != 0)
        return {};
    const pid_t observer = fork();
    if (observer == 0) {
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0
            || setresuid(nobody, nobody, nobody) != 0)
            _exit(1);
        const confinement seen
            = observe_as_own_user(staged.binary, key, form, at_terminal, challenge);
        _exit(write(report[1], &seen, sizeof seen) == sizeof seen ? 0 : 1);
    }
    close(report[1]);
    confinement seen;
    if (read(report[0], &seen, sizeof seen) != sizeof seen)
        std::snprintf(seen.shown, sizeof seen.shown, "the observer could not run");
    close(report[0]);
    waitpid(observer, nullptr, 0);
    return seen;
}

TEST(Hardening, WaitingVelkinIsConfinedAndUnreadable)
{
    const staged_files staged;
    for (const bool at_terminal : {false, true}) {
        for (const key_case &form : {key_forms[0], key_forms[2]}) {
            SCOPED_TRACE(std::string(form.file) + (at_terminal ? " at a terminal" : " piped"));
            const confinement seen = observe_unprivileged(staged, form, at_terminal);
#if defined(__linux__)
            if (VELKIN_SANDBOXED) {
                EXPECT_STREQ(seen.seccomp, "2");
                EXPECT_STREQ(seen.no_new_privs, "1");
            }
#elif defined(__FreeBSD__)
            if (VELKIN_SANDBOXED)
                EXPECT_TRUE(seen.capability_mode);
            EXPECT_TRUE(seen.untraceable);
#endif
            EXPECT_TRUE(seen.core_limit_zero);
            EXPECT_FALSE(seen.memory_readable) << "/proc/PID/mem opened";
            EXPECT_FALSE(seen.attachable) << "ptrace attached";
            EXPECT_TRUE(seen.answered) << seen.shown;
        }
    }
}

// The key's DER, the key file's lines and, unless it may still be the
// challenge, the passphrase line.
std::vector<needle> secrets_of_the_key(EVP_PKEY *key, const key_case &form,
                                       bool passphrase_line_settled)
{
    std::vector<needle> secrets = der_slices(key);
    for (needle &line : key_file_lines(fixture(form.file)))
        secrets.push_back(line);
    if (passphrase_line_settled)
        secrets.push_back({"the passphrase line", fixture_passphrase});
    return secrets;
}

std::string describe(const std::vector<hit> &hits)
{
    std::string text;
    for (const hit &h : hits)
        text += h.what + " in " + (h.where->name.empty() ? "[anonymous]" : h.where->name) + " ("
            + h.where->vm_flags + ")\n";
    return text;
}

// Searches of velkin's memory for the test key and the other secrets.
class MemorySearch : public testing::Test {
protected:
    void SetUp() override
    {
        if (!memory_can_be_searched)
            GTEST_SKIP() << "searching velkin's memory takes Linux's /proc/PID/smaps, "
                            "/proc/PID/mem and ptrace's stop at exit";
        if (!is_root())
            GTEST_SKIP() << "reading velkin's memory needs root (it is not dumpable)";
        if (VELKIN_SANITIZED)
            GTEST_SKIP() << "a sanitizer's shadow memory is too large to search";
        key.reset(load_test_key());
        ASSERT_TRUE(key);
    }

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
};

TEST_F(MemorySearch, NoCopyOfTheKeyOrPassphraseWhileWaiting)
{
    const std::vector<needle> numbers = private_numbers(key.get());
    for (const bool at_terminal : {false, true}) {
        for (const key_case &form : key_forms) {
            SCOPED_TRACE(std::string(form.file) + (at_terminal ? " at a terminal" : " piped"));
            const std::string plaintext = "scanned while waiting";
            velkin_run run = start_velkin(VELKIN_BINARY, fixture(form.file), at_terminal);
            give_passphrase(run, form.is_protected);
            ASSERT_TRUE(wait_for_challenge_read(run)) << run.seen;
            const std::vector<region> regions = regions_of(run.pid);
            // A piped line that a key without passphrase skipped is the
            // challenge should no other line follow, so it is kept until the
            // challenge line comes, and then wiped.
            const bool settled = form.is_protected || at_terminal;
            const std::vector<hit> secrets
                = search_memory(run.pid, regions, secrets_of_the_key(key.get(), form, settled));
            const std::vector<hit> found_numbers = search_memory(run.pid, regions, numbers);
            const run_result result = finish_velkin(run, make_challenge(public_key, plaintext));

            EXPECT_EQ(exit_code(result.wait_status), 0) << result.out << " status " << result.wait_status;
            EXPECT_TRUE(secrets.empty()) << describe(secrets);
            EXPECT_FALSE(found_numbers.empty()) << "the key's numbers were not found at all";
            for (const hit &h : found_numbers)
                EXPECT_TRUE(h.where->locked_out_of_dumps()) << describe({h});
        }
    }
}

TEST_F(MemorySearch, NothingIsLeftAtExit)
{
    for (const key_case &form : key_forms) {
        SCOPED_TRACE(form.file);
        const std::string plaintext = "the plaintext that must be gone at exit";
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digest_length = 0;
        EVP_Digest(plaintext.data(), plaintext.size(), digest, &digest_length, EVP_sha1(), nullptr);
        std::vector<needle> secrets = secrets_of_the_key(key.get(), form, true);
        for (needle &number : private_numbers(key.get()))
            secrets.push_back(number);
        secrets.push_back({"the plaintext", plaintext});
        secrets.push_back({"the digest", std::string(reinterpret_cast<char *>(digest), digest_length)});
        secrets.push_back({"the response", expected_response(plaintext)});
        // Still there at exit, and so a sign that the search works.
        const needle key_path{"the key file's path", fixture(form.file)};

        velkin_run run = start_velkin(VELKIN_BINARY, fixture(form.file), false, true);
        give_passphrase(run, form.is_protected);
        std::vector<hit> left;
        bool path_found = false;
        const run_result result
            = finish_velkin(run, make_challenge(public_key, plaintext), [&](pid_t pid) {
                  const std::vector<region> regions = regions_of(pid);
                  left = search_memory(pid, regions, secrets);
                  path_found = !search_memory(pid, regions, {key_path}).empty();
              });
        EXPECT_EQ(result.out, expected_response(plaintext) + "\n");
        EXPECT_EQ(exit_code(result.wait_status), 0);
        EXPECT_TRUE(path_found) << "the memory at exit could not be searched";
        EXPECT_TRUE(left.empty()) << describe(left);
    }
}

TEST(Hardening, AnswersWhereNoMemoryMayBeLocked)
{
    // As root the limit would not bind, so velkin runs as the unprivileged user.
    const staged_files staged;
    const std::string key = is_root() ? staged.key("rsa8192.pem") : fixture("rsa8192.pem");
    const std::string binary = is_root() ? staged.binary : std::string(VELKIN_BINARY);
    const std::string plaintext = "nothing locked";
    const std::string challenge = make_challenge(fixture("rsa8192.pub.pem"), plaintext);
    const std::string answer = expected_response(plaintext) + "\n";
    const pid_t child = fork();
    if (child == 0) {
        if (is_root()
            && (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0
                || setresuid(nobody, nobody, nobody) != 0))
            _exit(2);
        const rlimit nothing{0, 0};
        setrlimit(RLIMIT_MEMLOCK, &nothing);
        velkin_run run = start_velkin(binary, key, false);
        give_passphrase(run, false);
        const run_result result = finish_velkin(run, challenge);
        _exit(result.out == answer && exit_code(result.wait_status) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(exit_code(status), 0);
}

TEST(Hardening, CtrlBackslashAtTheChallengePromptLeavesNoCoreFile)
{
    char path[] = "/tmp/velkin-core-XXXXXX";
    const std::string folder = mkdtemp(path);
    velkin_run run = start_velkin(VELKIN_BINARY, fixture("rsa2048-aes256.pem"), true, false, folder);
    give_passphrase(run, true);
    ASSERT_TRUE(wait_for_challenge_read(run)) << run.seen;
    send(run, "\x1c");
    const run_result result = finish_velkin(run, "");
    EXPECT_TRUE(WIFSIGNALED(result.wait_status) && WTERMSIG(result.wait_status) == SIGQUIT)
        << "status " << result.wait_status;
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << "a core file was written";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

TEST(Hardening, CtrlZAtTheChallengePromptWorksUnderTheSandbox)
{
    const std::string plaintext = "stopped and continued";
    terminal_run run = start_as_job({fixture("rsa2048.pem")});
    ASSERT_TRUE(wait_for(run, challenge_prompt)) << run.seen;
    type(run, "\x1a");
    ASSERT_TRUE(wait_until_stopped(run)) << run.seen;
    kill(run.pid, SIGCONT);
    type(run, make_challenge(public_key, plaintext) + "\r");
    const int status = finish(run);
    EXPECT_EQ(exit_code(status), 0) << run.seen;
    EXPECT_NE(run.seen.find(std::string(response_prefix) + expected_response(plaintext)),
              std::string::npos)
        << run.seen;
    EXPECT_EQ(run.seen.find(forbidden_call_error), std::string::npos) << run.seen;
}

} // namespace
