// SPDX-License-Identifier: BSD-2-Clause
// What velkin asks of the user: the key's passphrase (or a token's PIN) and
// the challenge line. At a terminal the passphrase is typed without echo and
// the challenge is pasted after a prompt; from a script standard input carries
// a passphrase line and then a challenge line, so a script can always send the
// same two.
#ifndef VELKIN_CONSOLE_CONSOLE_H
#define VELKIN_CONSOLE_CONSOLE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t challenge_line_size = 16384;
constexpr char passphrase_prompt[] = "Enter passphrase for private key: ";
constexpr char challenge_prompt[] = "Please paste challenge text now\n";
// Around a hardware token's label: "Enter PIN for token 'LABEL': ".
constexpr char pin_prompt_start[] = "Enter PIN for token '";
constexpr char pin_prompt_end[] = "': ";
// Around it for a token with its own PIN pad.
constexpr char pin_pad_start[] = "Enter the PIN on the reader for token '";
constexpr char pin_pad_end[] = "'.\n";

// How often the key reader has asked for a passphrase. Zero once the key is
// read means a piped passphrase line is still waiting on standard input.
extern int32_t passphrase_requests;

// The challenge as read, at most challenge_line_size - 1 characters and a
// terminator; it lives until the process ends.
extern char challenge_line[challenge_line_size];

// Passphrase callback for the key reader. Counts the request, then places the
// passphrase in buffer (size bytes): typed at the terminal without echo when
// standard input is one, otherwise the next line of standard input without
// its line end. Returns the number of bytes placed; 0 means no passphrase.
int supply_passphrase(char *buffer, int size, int rwflag, void *userdata);

// PIN callback for a hardware token labelled token_label. At a terminal it
// asks for the PIN there without echo, as for a passphrase; from a script it
// takes the next line of standard input. Counts as a passphrase request, so
// that the line is not skipped again. With on_reader set the token reads the
// PIN on its own pad: at a terminal it only says so, and nothing is read or
// counted. Returns the number of PIN bytes placed in buffer (size bytes).
int supply_pin(const char *token_label, bool on_reader, char *buffer, int size);

// Reads the challenge after the key has been read: prompts on standard error
// when input is a terminal; otherwise first skips the passphrase line if no
// passphrase was asked for, and reads exactly one line. At a terminal a
// challenge may come pasted over several lines (wrapped at 76 columns, or by
// the window): while fewer than whole_symbols Base64 symbols have come, no
// "=" has come and the line just read was not empty, the next line is read
// and joined to it, within challenge_line; an empty line ends it. Whatever
// the paste left unread on the terminal is then discarded, so that the shell
// never runs it. Returns challenge_line cut at its line end. Never fails:
// with nothing to read the line keeps what it held, empty at first.
const char *fetch_challenge(FILE *input, size_t whole_symbols);

// Reads one line of at most size - 1 characters into buffer, as fgets does;
// at end of input before any character, stores nothing and returns false.
bool read_line(char *buffer, int size, FILE *input);

// The same read made directly on descriptor fd, a byte at a time, so that
// nothing past the line end is taken and no stream buffer holds a copy. The
// stream on fd, if any, must not have buffered input of its own yet.
bool read_line_unbuffered(int fd, char *buffer, int size);

// Ends the text in buffer at its first carriage return or line feed.
void cut_line(char *buffer);

#endif
