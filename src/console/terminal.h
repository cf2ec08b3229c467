// The passphrase read at the terminal: getpass's contract, without its
// faults. glibc's getpass turns Ctrl-C off while it reads and leaves the
// terminal without echo when a signal ends the process; this read keeps
// Ctrl-C working and always puts the terminal back as it found it.
#ifndef VELKIN_CONSOLE_TERMINAL_H
#define VELKIN_CONSOLE_TERMINAL_H

#include <cstddef>

// Shows prompt on the controlling terminal and reads one line from it with
// echo off, as getpass does; without a controlling terminal it writes to
// standard error and reads standard input. The line goes straight into
// buffer, a byte at a time, so that no other copy of it is made: at most size
// bytes are stored, without a terminator, and the rest of the line and its
// line end are read and dropped. The terminal settings are restored and a
// newline written after the read. Returns the number of bytes stored; 0 for
// an empty line, end of input or a read error.
//
// Signals during the read: SIGINT, SIGTERM, SIGHUP and SIGQUIT wipe buffer,
// restore the terminal and end the process by the same signal (a signal the
// process ignored stays ignored). SIGTSTP, SIGTTIN and SIGTTOU restore the
// terminal and stop the process; once it is continued, echo goes off again,
// the prompt is shown again and the read goes on. The previous handlers are
// back in place when the function returns.
size_t read_hidden_line(const char *prompt, char *buffer, size_t size);

// Writes text where read_hidden_line shows its prompt: the controlling
// terminal, or standard error without one.
void show_on_terminal(const char *text);

#endif
