// SPDX-License-Identifier: BSD-2-Clause
#include "terminal.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Signals that end the process; the terminal is restored first.
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Signals that stop it; the terminal is restored while it is stopped.
constexpr int stopping_signals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
// Also watched: SIGCONT, so that the read learns of every continue, after a
// SIGSTOP it could not see coming as well.
constexpr size_t watched_count = std::size(ending_signals) + std::size(stopping_signals) + 1;

// Set by the handler, taken by the read loop. Only one read runs at a time.
volatile sig_atomic_t caught_signal = 0;
volatile sig_atomic_t continued = 0;

// Everything a read changes and must put back.
struct hidden_read {
    int in = -1;
    int out = -1;
    bool opened = false; // in and out are our own descriptor of /dev/tty
    bool holding = false; // the prompt is shown and, on a terminal, echo is off
    bool prompted = false; // the prompt was shown before
    bool has_settings = false; // in is a terminal and saved holds its settings
    termios saved{}; // taken in the foreground, each time the terminal is taken
    termios hidden{};
    int watched[watched_count] = {};
    struct sigaction previous[watched_count] = {};
    bool handled[watched_count] = {}; // false where the signal was ignored
    sigset_t mask_before{};
    sigset_t mask_reading{}; // mask_before and every watched signal
};

bool is_stopping(int signal_number)
{
    for (int s : stopping_signals)
        if (s == signal_number)
            return true;
    return false;
}

// An ending signal is never overwritten by a stopping one: a stopped job
// killed with kill %1 gets SIGTERM and SIGCONT, and must end, not stop again.
void note_signal(int signal_number)
{
    if (signal_number == SIGCONT)
        continued = 1;
    else if (caught_signal == 0 || is_stopping(caught_signal))
        caught_signal = signal_number;
}

// Uses the controlling terminal, or standard input and error without one.
void open_terminal(hidden_read &read)
{
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    read.opened = tty >= 0;
    read.in = read.opened ? tty : STDIN_FILENO;
    read.out = read.opened ? tty : STDERR_FILENO;
}

void close_terminal(const hidden_read &read)
{
    if (read.opened)
        close(read.in);
}

void handle_signal(int signal_number)
{
    struct sigaction action{};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a signal must end the wait
    sigaction(signal_number, &action, nullptr);
}

// Blocks the watched signals outside the waits of the read loop, so that none
// slips in between looking at caught_signal and waiting for input.
void watch_signals(hidden_read &read)
{
    caught_signal = 0;
    continued = 0;
    size_t i = 0;
    for (int s : ending_signals)
        read.watched[i++] = s;
    for (int s : stopping_signals)
        read.watched[i++] = s;
    read.watched[i++] = SIGCONT;

    sigset_t block;
    sigemptyset(&block);
    for (int s : read.watched)
        sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &read.mask_before);
    sigprocmask(SIG_BLOCK, nullptr, &read.mask_reading);

    for (i = 0; i < watched_count; ++i) {
        sigaction(read.watched[i], nullptr, &read.previous[i]);
        // An ignored signal (nohup's SIGHUP, say) is left ignored; SIGCONT
        // continues the process all the same, so it is always watched.
        read.handled[i] = read.previous[i].sa_handler != SIG_IGN || read.watched[i] == SIGCONT;
        if (read.handled[i])
            handle_signal(read.watched[i]);
    }
}

void restore_signals(const hidden_read &read)
{
    for (size_t i = 0; i < watched_count; ++i)
        if (read.handled[i])
            sigaction(read.watched[i], &read.previous[i], nullptr);
    sigprocmask(SIG_SETMASK, &read.mask_before, nullptr);
}

// Lets pending signals reach the handler, so that the loop sees them.
void let_signals_through(const hidden_read &read)
{
    sigprocmask(SIG_SETMASK, &read.mask_before, nullptr);
    sigprocmask(SIG_SETMASK, &read.mask_reading, nullptr);
}

// Whether another process group has the terminal: the shell, or another job.
bool in_background(const hidden_read &read)
{
    const pid_t owner = tcgetpgrp(read.in);
    return owner >= 0 && owner != getpgrp();
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
        && a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

void write_text(int fd, const char *text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t wrote = write(fd, text, left);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        text += wrote;
        left -= static_cast<size_t>(wrote);
    }
}

// Stops the process by signal_number, as its default action does. Returns
// whether it was stopped and continued: the kernel drops the stop of a
// process group that no shell looks after. Pending signals have reached
// the handler by the time it returns.
bool stop_for(const hidden_read &read, int signal_number)
{
    struct sigaction stop{}, during{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signal_number, &stop, &during);

    continued = 0;
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal_number);
    sigaddset(&just, SIGCONT);
    raise(signal_number); // pending until unblocked
    sigprocmask(SIG_UNBLOCK, &just, nullptr); // stops here until SIGCONT
    sigprocmask(SIG_SETMASK, &read.mask_reading, nullptr);
    sigaction(signal_number, &during, nullptr);

    let_signals_through(read);
    const bool was_continued = continued != 0;
    continued = 0;
    return was_continued;
}

// Puts the terminal back as it was taken, unless it is no longer ours to
// touch: then the shell has already put back its own settings.
void give_back(hidden_read &read)
{
    if (!read.holding)
        return;
    read.holding = false;
    if (read.has_settings && !in_background(read))
        tcsetattr(read.in, TCSAFLUSH, &read.saved);
}

enum class taking { taken, again, unavailable };

// Saves the terminal's settings and turns echo off, only while in the
// foreground; from the background it stops until the shell brings it back.
// The change is made with the watched signals let through, so that a
// process moved to the background meanwhile is refused by the kernel with
// SIGTTOU rather than allowed to change the shell's terminal.
taking take_terminal(hidden_read &read, const char *prompt)
{
    if (in_background(read))
        return stop_for(read, SIGTTOU) ? taking::again : taking::unavailable;
    read.has_settings = tcgetattr(read.in, &read.saved) == 0;
    if (read.has_settings) {
        read.hidden = read.saved;
        // Keep ISIG: Ctrl-C and Ctrl-Z must still reach us as signals.
        read.hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
        sigprocmask(SIG_SETMASK, &read.mask_before, nullptr);
        const bool hidden = tcsetattr(read.in, TCSAFLUSH, &read.hidden) == 0;
        sigprocmask(SIG_SETMASK, &read.mask_reading, nullptr);
        if (!hidden)
            return caught_signal != 0 || continued != 0 ? taking::again : taking::unavailable;
    }
    // Shown again from the start of the line: after fg the shell has left
    // the cursor there, and without a shell the old prompt is written over.
    if (read.prompted)
        write_text(read.out, "\r");
    write_text(read.out, prompt);
    read.prompted = true;
    read.holding = true;
    return taking::taken;
}

// After a continue, the terminal is still ours only if we are in the
// foreground and it holds the settings we gave it; a shell that stopped us
// has put its own back, and those are to be saved afresh.
void check_still_ours(hidden_read &read)
{
    termios now{};
    if (read.holding && read.has_settings
        && (in_background(read) || tcgetattr(read.in, &now) != 0
            || !same_settings(now, read.hidden)))
        read.holding = false;
}

// Waits for input with the watched signals let through, then reads one byte.
// Returns read's result; -1 with errno EINTR when a signal came first.
ssize_t read_byte(const hidden_read &read, char *byte)
{
    if (read.in < FD_SETSIZE) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(read.in, &readable);
        if (pselect(read.in + 1, &readable, nullptr, nullptr, nullptr, &read.mask_before) < 0)
            return -1;
    }
    // Unblocked for the read itself, so that a read from the background
    // gets SIGTTIN and stops as it would without us.
    sigprocmask(SIG_SETMASK, &read.mask_before, nullptr);
    const ssize_t got = ::read(read.in, byte, 1);
    const int read_errno = errno;
    sigprocmask(SIG_SETMASK, &read.mask_reading, nullptr);
    errno = read_errno;
    return got;
}

struct line_result {
    size_t stored;
    int ending_signal; // 0 unless a signal is to end the process
};

// Reads up to the line end, storing at most size bytes in buffer. Each time
// the terminal is taken anew the prompt is shown again and the line starts
// over.
line_result collect_line(hidden_read &read, const char *prompt, char *buffer, size_t size)
{
    line_result result{0, 0};
    for (;;) {
        const int signal_number = caught_signal;
        caught_signal = 0;
        if (signal_number != 0 && !is_stopping(signal_number)) {
            result.ending_signal = signal_number;
            return result;
        }
        if (signal_number != 0) {
            give_back(read);
            stop_for(read, signal_number);
            continue;
        }
        if (continued != 0) {
            continued = 0;
            check_still_ours(read);
        }
        if (!read.holding) {
            const taking taken = take_terminal(read, prompt);
            if (taken == taking::unavailable)
                return result;
            if (taken == taking::taken) {
                OPENSSL_cleanse(buffer, result.stored);
                result.stored = 0;
            }
            continue;
        }
        char byte = 0;
        const ssize_t got = read_byte(read, &byte);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == '\n')
            return result;
        if (result.stored < size)
            buffer[result.stored++] = byte;
        OPENSSL_cleanse(&byte, sizeof byte);
    }
}

} // namespace

void show_on_terminal(const char *text)
{
    hidden_read read;
    open_terminal(read);
    write_text(read.out, text);
    close_terminal(read);
}

size_t read_hidden_line(const char *prompt, char *buffer, size_t size)
{
    hidden_read read;
    open_terminal(read);
    watch_signals(read);

    line_result line = collect_line(read, prompt, buffer, size);
    if (line.ending_signal != 0) {
        OPENSSL_cleanse(buffer, size);
        line.stored = 0;
    }
    // Stopped or in the background the terminal is the shell's: no
    // settings and no line end of ours go to it.
    const bool held = read.holding;
    give_back(read);
    if (held)
        write_text(read.out, "\n");
    restore_signals(read);
    close_terminal(read);

    if (line.ending_signal != 0) {
        // With the previous disposition back, this ends the process as the
        // signal would have without us. Should a handler of the embedding
        // program return instead, there is simply no passphrase.
        raise(line.ending_signal);
    }
    return line.stored;
}
