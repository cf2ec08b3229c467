// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD: capability mode, with standard input, output and error limited to
// what reading and writing them takes.
#include "sandbox.h"

#include <sys/capsicum.h>
#include <sys/ioctl.h>
#include <sys/procctl.h>
#include <termios.h>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <unistd.h>

namespace {

// The terminal requests reading from standard input may make: isatty,
// tcgetattr, tcsetattr, tcflush, tcgetpgrp.
const unsigned long terminal_requests[] = {
    TIOCGETA, TIOCSETA, TIOCSETAW, TIOCSETAF, TIOCFLUSH, TIOCGPGRP,
};

void catch_forbidden_calls(int signal_number, forbidden_call_handler handler)
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
}

// A descriptor that is closed needs no limit.
bool limit_descriptor(int fd, const cap_rights_t *rights)
{
    if (cap_rights_limit(fd, rights) != 0 && errno != EBADF)
        return false;
    return cap_ioctls_limit(fd, terminal_requests, std::size(terminal_requests)) == 0
        || errno == EBADF;
}

} // namespace

bool confine_process(forbidden_call_handler on_forbidden_call)
{
    // A call capability mode refuses then raises SIGTRAP instead of failing
    // quietly, so that it ends the run through the handler.
    int trap = PROC_TRAPCAP_CTL_ENABLE;
    if (procctl(P_PID, 0, PROC_TRAPCAP_CTL, &trap) != 0)
        return false;
    catch_forbidden_calls(SIGTRAP, on_forbidden_call);
    cap_rights_t input;
    cap_rights_t output;
    cap_rights_init(&input, CAP_READ, CAP_SEEK, CAP_FSTAT, CAP_EVENT, CAP_IOCTL);
    cap_rights_init(&output, CAP_WRITE, CAP_SEEK, CAP_FSTAT, CAP_EVENT, CAP_IOCTL);
    return limit_descriptor(STDIN_FILENO, &input) && limit_descriptor(STDOUT_FILENO, &output)
        && limit_descriptor(STDERR_FILENO, &output) && cap_enter() == 0;
}
