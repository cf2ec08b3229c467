// SPDX-License-Identifier: BSD-2-Clause
#include "harness.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include VELKIN_FORKPTY_HEADER

// POSIX leaves declaring the environment to the program: glibc's <unistd.h>
// declares it only for _GNU_SOURCE, FreeBSD's not at all.
extern "C" {
extern char **environ;
}

namespace {

std::string base64_of(const unsigned char *bytes, size_t n)
{
    std::string text(4 * ((n + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&text[0]), bytes,
                                       static_cast<int>(n));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Test-only: VELKIN_WRAPPER, e.g. "valgrind --error-exitcode=99 -q", is put
// in front of the binary, words split at blanks.
std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    const char *wrapper = std::getenv("VELKIN_WRAPPER");
    std::istringstream split(wrapper ? wrapper : "");
    for (std::string word; split >> word;)
        words.push_back(word);
    return words;
}

[[noreturn]] void exec_velkin(const std::vector<std::string> &args)
{
    // Tests end velkin by SIGQUIT too; that must leave no core file behind.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    const std::vector<std::string> wrapper = wrapper_words();
    std::vector<char *> argv;
    for (const auto &word : wrapper)
        argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(const_cast<char *>(VELKIN_BINARY));
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Does what a job-control shell does for a foreground job: velkin gets a
// process group of its own, with a parent in the same session, so that
// Ctrl-Z really stops it. This stand-in shell then stops itself, so that the
// test sees the stop, continues velkin when it is continued, and ends the way
// velkin ended.
[[noreturn]] void run_as_job(const std::vector<std::string> &args, bool background)
{
    // Giving the terminal away from the background must not stop us.
    std::signal(SIGTTOU, SIG_IGN);
    const pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        if (!background)
            tcsetpgrp(STDIN_FILENO, getpid());
        std::signal(SIGTTOU, SIG_DFL);
        exec_velkin(args);
    }
    setpgid(job, job);
    for (;;) {
        int status = 0;
        if (waitpid(job, &status, WUNTRACED) < 0) {
            if (errno == EINTR)
                continue;
            _exit(127);
        }
        if (WIFSTOPPED(status)) {
            raise(SIGSTOP);
            // Continued: like fg, bring the job to the foreground.
            tcsetpgrp(STDIN_FILENO, job);
            kill(job, SIGCONT);
            continue;
        }
        if (WIFSIGNALED(status)) {
            std::signal(WTERMSIG(status), SIG_DFL);
            raise(WTERMSIG(status));
        }
        _exit(WEXITSTATUS(status));
    }
}

using clock_type = std::chrono::steady_clock;

int remaining_ms(clock_type::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what fd has to offer; false at end of output.
bool drain(int fd, std::string &into)
{
    char chunk[65536];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0)
        into.append(chunk, static_cast<size_t>(got));
    return got > 0 || (got < 0 && errno == EINTR);
}

} // namespace

std::string fixture(const std::string &name)
{
    return std::string(FIXTURE_DIR) + "/" + name;
}

std::string make_challenge(const std::string &public_key_path, const std::string &plaintext)
{
    FILE *file = std::fopen(public_key_path.c_str(), "r");
    if (!file)
        throw std::runtime_error("no public key " + public_key_path);
    EVP_PKEY *key = PEM_read_PUBKEY(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY_free(key);
    size_t length = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(plaintext.data());
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1
        || EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1
        || EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) != 1
        || EVP_PKEY_encrypt(context.get(), nullptr, &length, in, plaintext.size()) != 1)
        throw std::runtime_error("cannot encrypt for " + public_key_path);
    std::vector<unsigned char> ciphertext(length);
    if (EVP_PKEY_encrypt(context.get(), ciphertext.data(), &length, in, plaintext.size()) != 1)
        throw std::runtime_error("cannot encrypt for " + public_key_path);
    return base64_of(ciphertext.data(), length);
}

std::string expected_response(const std::string &plaintext)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(plaintext.data(), plaintext.size(), digest, &length, EVP_sha1(), nullptr);
    return base64_of(digest, length);
}

int exit_code(int wait_status)
{
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

piped_run run_piped(const std::vector<std::string> &args, const std::string &input,
                    size_t repeat)
{
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        exec_velkin(args);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // velkin may stop reading early; its input side closing is no error here.
    std::signal(SIGPIPE, SIG_IGN);
    fcntl(in[1], F_SETFL, O_NONBLOCK);

    piped_run run{0, {}, {}};
    const size_t total = input.size() * repeat;
    size_t sent = 0;
    int to_child = in[1];
    if (total == 0) {
        close(to_child);
        to_child = -1;
    }
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
        if (poll(fds, to_child >= 0 ? 3 : 2, -1) < 0 && errno != EINTR)
            break;
        if (out_open && fds[0].revents)
            out_open = drain(out[0], run.out);
        if (err_open && fds[1].revents)
            err_open = drain(err[0], run.err);
        if (to_child >= 0 && fds[2].revents) {
            const size_t offset = sent % input.size();
            const ssize_t wrote = write(to_child, input.data() + offset, input.size() - offset);
            if (wrote > 0)
                sent += static_cast<size_t>(wrote);
            if ((wrote < 0 && errno != EAGAIN && errno != EINTR) || sent == total) {
                close(to_child);
                to_child = -1;
            }
        }
    }
    if (to_child >= 0)
        close(to_child);
    close(out[0]);
    close(err[0]);
    waitpid(pid, &run.wait_status, 0);
    return run;
}

void expect_answer(const piped_run &run, const std::string &plaintext)
{
    EXPECT_EQ(run.out, expected_response(plaintext) + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(exit_code(run.wait_status), 0);
}

void expect_failure(const piped_run &run, const char *message)
{
    EXPECT_EQ(run.out, message);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(exit_code(run.wait_status), 255);
}

file_run run_with_input_file(const std::vector<std::string> &args, const std::string &input)
{
    char in_path[] = "/tmp/velkin-in-XXXXXX";
    char out_path[] = "/tmp/velkin-out-XXXXXX";
    const int in = mkstemp(in_path);
    const int out = mkstemp(out_path);
    unlink(in_path);
    unlink(out_path);
    file_run run{-1, {}, -1};
    if (in < 0 || out < 0
        || write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        return run;
    lseek(in, 0, SEEK_SET);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        exec_velkin(args);
    }
    waitpid(pid, &run.wait_status, 0);
    run.input_read = lseek(in, 0, SEEK_CUR);
    lseek(out, 0, SEEK_SET);
    run.out = read_to_end(out);
    close(in);
    close(out);
    return run;
}

std::string read_to_end(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

std::string softhsm_module()
{
    for (const char *path : {"/usr/lib/softhsm/libsofthsm2.so",
                             "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                             "/usr/local/lib/softhsm/libsofthsm2.so"})
        if (access(path, R_OK) == 0)
            return path;
    return "";
}

terminal_run start_at_terminal(const std::vector<std::string> &args,
                               const std::string &stdout_path)
{
    terminal_run run{-1, -1, {}};
    run.pid = forkpty(&run.master, nullptr, nullptr, nullptr);
    if (run.pid < 0)
        throw std::runtime_error("forkpty");
    if (run.pid == 0) {
        if (!stdout_path.empty()) {
            const int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            close(fd);
        }
        exec_velkin(args);
    }
    return run;
}

terminal_run start_as_job(const std::vector<std::string> &args, bool background)
{
    terminal_run run{-1, -1, {}};
    run.pid = forkpty(&run.master, nullptr, nullptr, nullptr);
    if (run.pid < 0)
        throw std::runtime_error("forkpty");
    if (run.pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        run_as_job(args, background);
    }
    return run;
}

bool wait_until_stopped(terminal_run &run, int timeout_ms)
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t changed = waitpid(run.pid, &status, WNOHANG | WUNTRACED);
        if (changed == run.pid)
            return WIFSTOPPED(status);
        if (changed < 0 || remaining_ms(deadline) == 0)
            return false;
        // Keep the terminal's output flowing while waiting.
        pollfd fd{run.master, POLLIN, 0};
        if (poll(&fd, 1, 10) > 0)
            drain(run.master, run.seen);
    }
}

terminal_run start_shell(const std::string &dir, const std::vector<std::string> &environment)
{
    terminal_run run{-1, -1, {}};
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 200;
    run.pid = forkpty(&run.master, nullptr, nullptr, &size);
    if (run.pid < 0)
        throw std::runtime_error("forkpty");
    if (run.pid == 0) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        std::vector<char *> env;
        for (const auto &entry : environment)
            env.push_back(const_cast<char *>(entry.c_str()));
        env.push_back(nullptr);
        char *argv[] = {const_cast<char *>("bash"), const_cast<char *>("--norc"),
                        const_cast<char *>("--noprofile"), const_cast<char *>("-i"), nullptr};
        // bash is looked for on the PATH given, as a user's terminal would.
        environ = env.data();
        if (chdir(dir.c_str()) == 0)
            execvp(argv[0], argv);
        _exit(127);
    }
    return run;
}

bool wait_for(terminal_run &run, const std::string &text, int timeout_ms, size_t from)
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (run.seen.find(text, from) == std::string::npos) {
        pollfd fd{run.master, POLLIN, 0};
        const int ready = poll(&fd, 1, remaining_ms(deadline));
        if (ready <= 0 || !drain(run.master, run.seen))
            return false;
    }
    return true;
}

void type(terminal_run &run, const std::string &keys)
{
    if (write(run.master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        throw std::runtime_error("cannot type at the terminal");
}

int complete_at_terminal(terminal_run &run, const std::string &passphrase,
                         const std::string &challenge)
{
    type(run, passphrase + "\r");
    if (!wait_for(run, challenge_prompt)) {
        finish(run);
        return -1;
    }
    type(run, challenge + "\r");
    return finish(run);
}

int finish(terminal_run &run, int timeout_ms)
{
    const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd fd{run.master, POLLIN, 0};
        // Once the slave side is gone, reading the master fails with EIO.
        if (poll(&fd, 1, remaining_ms(deadline)) <= 0 || !drain(run.master, run.seen))
            break;
    }
    int status = 0;
    while (waitpid(run.pid, &status, WNOHANG) == 0) {
        if (remaining_ms(deadline) == 0) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    run.echoed_at_end = terminal_echoes(run);
    close(run.master);
    return status;
}

bool terminal_echoes(const terminal_run &run)
{
    termios settings{};
    tcgetattr(run.master, &settings);
    return (settings.c_lflag & ECHO) != 0;
}
