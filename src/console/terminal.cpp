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
constexpr size_t watched_count = std::size(ending_signals) + std::size(stopping_signals);

// Set by the handler, taken by the read loop. Only one read runs at a time.
volatile sig_atomic_t caught_signal = 0;

// Everything a read changes and must put back.
struct hidden_read {
    int in = -1;
    int out = -1;
    bool opened = false; // in and out are our own descriptor of /dev/tty
    bool has_settings = false; // in is a terminal and saved holds its settings
    termios saved{};
    termios hidden{};
    int watched[watched_count] = {};
    struct sigaction previous[watched_count] = {};
    bool handled[watched_count] = {}; // false where the signal was ignored
    sigset_t mask_before{};
};

void note_signal(int signal_number)
{
    caught_signal = signal_number;
}

bool is_stopping(int signal_number)
{
    for (int s : stopping_signals)
        if (s == signal_number)
            return true;
    return false;
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

void handle_signal(hidden_read &read, size_t index)
{
    struct sigaction action{};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a signal must end the wait
    sigaction(read.watched[index], &action, nullptr);
}

// Blocks the watched signals outside the waits of the read loop, so that none
// slips in between looking at caught_signal and waiting for input.
void watch_signals(hidden_read &read)
{
    caught_signal = 0;
    size_t i = 0;
    for (int s : ending_signals)
        read.watched[i++] = s;
    for (int s : stopping_signals)
        read.watched[i++] = s;

    sigset_t block;
    sigemptyset(&block);
    for (int s : read.watched)
        sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &read.mask_before);

    for (i = 0; i < watched_count; ++i) {
        sigaction(read.watched[i], nullptr, &read.previous[i]);
        // An ignored signal (nohup's SIGHUP, say) is left ignored.
        read.handled[i] = read.previous[i].sa_handler != SIG_IGN;
        if (read.handled[i])
            handle_signal(read, i);
    }
}

void restore_signals(const hidden_read &read)
{
    for (size_t i = 0; i < watched_count; ++i)
        if (read.handled[i])
            sigaction(read.watched[i], &read.previous[i], nullptr);
    sigprocmask(SIG_SETMASK, &read.mask_before, nullptr);
}

void hide_echo(hidden_read &read)
{
    if (!read.has_settings)
        return;
    // Keep ISIG: Ctrl-C and Ctrl-Z must still reach us as signals.
    tcsetattr(read.in, TCSAFLUSH, &read.hidden);
}

void show_echo(const hidden_read &read)
{
    if (read.has_settings)
        tcsetattr(read.in, TCSAFLUSH, &read.saved);
}

void save_settings(hidden_read &read)
{
    read.has_settings = tcgetattr(read.in, &read.saved) == 0;
    read.hidden = read.saved;
    read.hidden.c_lflag &= static_cast<tcflag_t>(~ECHO);
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
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, &read.mask_before, &blocked);
    const ssize_t got = ::read(read.in, byte, 1);
    const int read_errno = errno;
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    errno = read_errno;
    return got;
}

// Stops the process by signal_number with the terminal restored, then, once
// continued, hides the echo again.
void pause_for(hidden_read &read, int signal_number)
{
    show_echo(read);
    struct sigaction stop{};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signal_number, &stop, nullptr);

    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal_number);
    raise(signal_number); // pending until unblocked
    sigprocmask(SIG_UNBLOCK, &just, nullptr); // stops here until SIGCONT
    sigprocmask(SIG_BLOCK, &just, nullptr);

    for (size_t i = 0; i < watched_count; ++i)
        if (read.watched[i] == signal_number && read.handled[i])
            handle_signal(read, i);
    hide_echo(read);
}

// Started in the background, the read waits to be brought to the foreground
// before it touches the terminal, as SIGTTOU would make it do were it not
// blocked; otherwise it would turn off echo under the shell's feet.
void wait_for_foreground(hidden_read &read)
{
    if (read.has_settings && tcgetpgrp(read.in) != getpgrp())
        pause_for(read, SIGTTOU);
}

struct line_result {
    size_t stored;
    int ending_signal; // 0 unless a signal is to end the process
};

// Reads up to the line end, storing at most size bytes in buffer.
line_result collect_line(hidden_read &read, const char *prompt, char *buffer, size_t size)
{
    line_result result{0, 0};
    for (;;) {
        const int signal_number = caught_signal;
        caught_signal = 0;
        if (signal_number != 0 && is_stopping(signal_number)) {
            pause_for(read, signal_number);
            write_text(read.out, "\n");
            write_text(read.out, prompt);
            continue;
        }
        if (signal_number != 0) {
            result.ending_signal = signal_number;
            return result;
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
    save_settings(read);
    wait_for_foreground(read);
    hide_echo(read);
    write_text(read.out, prompt);

    line_result line = collect_line(read, prompt, buffer, size);
    if (line.ending_signal != 0) {
        OPENSSL_cleanse(buffer, size);
        line.stored = 0;
    }
    show_echo(read);
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
