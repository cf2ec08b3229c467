// SPDX-License-Identifier: BSD-2-Clause
#include "services.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace {

constexpr auto poll_interval = std::chrono::milliseconds(20);
constexpr int stop_timeout_ms = 5000;

using clock_type = std::chrono::steady_clock;

clock_type::time_point deadline_after(int timeout_ms)
{
    return clock_type::now() + std::chrono::milliseconds(timeout_ms);
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool reaped_within(pid_t pid, int timeout_ms)
{
    const auto deadline = deadline_after(timeout_ms);
    do {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD))
            return true;
        std::this_thread::sleep_for(poll_interval);
    } while (clock_type::now() < deadline);
    return false;
}

} // namespace

pid_t start_service(const std::vector<std::string> &argv, const std::string &log_path)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
#if defined(__linux__)
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    const int input = open("/dev/null", O_RDONLY);
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (input < 0 || log < 0)
        _exit(127);
    dup2(input, STDIN_FILENO);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    std::vector<char *> words;
    for (const std::string &word : argv)
        words.push_back(const_cast<char *>(word.c_str()));
    words.push_back(nullptr);
    execvp(words[0], words.data());
    _exit(127);
}

bool stop_service(pid_t pid)
{
    if (pid <= 0)
        return true;
    kill(pid, SIGTERM);
    if (!reaped_within(pid, stop_timeout_ms)) {
        kill(pid, SIGKILL);
        if (!reaped_within(pid, stop_timeout_ms))
            return false;
    }
    return kill(pid, 0) != 0 && errno == ESRCH;
}

bool service_running(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

bool wait_for_path(const std::string &path, int timeout_ms)
{
    const auto deadline = deadline_after(timeout_ms);
    while (access(path.c_str(), F_OK) != 0) {
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll_interval);
    }
    return true;
}

bool wait_for_port(int port, int timeout_ms)
{
    const auto deadline = deadline_after(timeout_ms);
    const sockaddr_in address = loopback(port);
    for (;;) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const bool connected =
            fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (fd >= 0)
            close(fd);
        if (connected)
            return true;
        if (clock_type::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll_interval);
    }
}

int free_tcp_port_pair()
{
    constexpr int attempts = 20;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int first = socket(AF_INET, SOCK_STREAM, 0);
        const int second = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        int port = -1;
        if (first >= 0 && second >= 0
            && bind(first, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && getsockname(first, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
            const sockaddr_in next = loopback(port + 1);
            if (port + 1 > 65535
                || bind(second, reinterpret_cast<const sockaddr *>(&next), sizeof next) != 0)
                port = -1;
        }
        if (first >= 0)
            close(first);
        if (second >= 0)
            close(second);
        if (port > 0)
            return port;
    }
    return -1;
}

bool run_quietly(const std::string &command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string output_of(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return output;
    char chunk[512];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

std::string first_existing(const std::vector<std::string> &paths)
{
    for (const std::string &pattern : paths) {
        glob_t found{};
        const bool matched = glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0;
        const std::string first = matched ? found.gl_pathv[0] : "";
        globfree(&found);
        if (!first.empty())
            return first;
    }
    return "";
}

bool have_program(const std::string &program)
{
    return run_quietly("command -v " + program);
}
