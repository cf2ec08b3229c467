// SPDX-License-Identifier: BSD-2-Clause
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
// an empty line, end of input, a read error, or a background process group
// that no shell will ever bring to the foreground.
//
// The terminal is the shell's unless velkin is in the foreground: its
// settings are saved, and echo turned off, only while velkin's process group
// is the terminal's foreground group; started in the background, the read
// stops (as SIGTTOU would) until the shell brings it to the foreground.
//
// Signals during the read: SIGINT, SIGTERM, SIGHUP and SIGQUIT wipe buffer,
// restore the terminal if it is ours and end the process by the same signal
// (a signal the process ignored stays ignored); stopped or in the background
// it ends quietly. SIGTSTP, SIGTTIN and SIGTTOU restore the terminal and stop
// the process. Once continued (after SIGSTOP too) and in the foreground, the
// settings are saved afresh unless they are still the ones the read set, echo
// goes off again, the prompt is shown again at the start of its line and the
// line starts over. The previous handlers are back in place when the function
// returns.
size_t read_hidden_line(const char *prompt, char *buffer, size_t size);

// Writes text where read_hidden_line shows its prompt: the controlling
// terminal, or standard error without one.
void show_on_terminal(const char *text);

#endif
