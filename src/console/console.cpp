// SPDX-License-Identifier: BSD-2-Clause
#include "console.h"

#include "terminal.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <termios.h>
#include <unistd.h>

int32_t passphrase_requests = 0;
char challenge_line[challenge_line_size];

namespace {

bool is_terminal(FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

int type_passphrase(char *buffer, int size)
{
    return static_cast<int>(read_hidden_line(passphrase_prompt, buffer, static_cast<size_t>(size)));
}

// Read from the descriptor, not the stream: a stream buffer would keep a copy
// of the passphrase that nothing could wipe.
int pipe_passphrase(char *buffer, int size)
{
    if (!read_line_unbuffered(STDIN_FILENO, buffer, size))
        return 0;
    cut_line(buffer);
    return static_cast<int>(std::strlen(buffer));
}

// A label comes from the token, which may be hostile or simply odd: control
// characters in it must not reach the terminal.
std::string printable_label(const char *label)
{
    std::string shown(label);
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return shown;
}

// The passphrase line that a key without passphrase did not ask for. It is
// read from the descriptor, so that no stream buffer keeps a copy, into
// challenge_line, where it stays only in case no challenge line follows.
// Returns how many characters it left there.
size_t skip_passphrase_line(FILE *input)
{
    if (!read_line_unbuffered(fileno(input), challenge_line, sizeof challenge_line))
        return 0;
    return std::strlen(challenge_line);
}

// Wipes what is left of a skipped line of skipped characters behind the line
// that has just replaced it in challenge_line.
void wipe_rest_of_skipped_line(size_t skipped)
{
    const size_t kept = std::strlen(challenge_line) + 1;
    if (skipped > kept)
        OPENSSL_cleanse(challenge_line + kept, skipped - kept);
}

bool is_base64_symbol(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
        || c == '/';
}

// How far a pasted challenge has come: its Base64 symbols, and whether the
// "=" that ends one has been seen.
struct paste_progress {
    size_t symbols = 0;
    bool ended = false;
};

void count_symbols(const char *text, paste_progress &progress)
{
    for (; *text != '\0' && !progress.ended; ++text) {
        if (*text == '=')
            progress.ended = true;
        else if (is_base64_symbol(*text))
            ++progress.symbols;
    }
}

// Reads the challenge at a terminal, from the descriptor, one line after
// another until the challenge is whole, then drops the rest of the paste.
void read_pasted_challenge(FILE *input, size_t whole_symbols)
{
    const int fd = fileno(input);
    paste_progress progress;
    size_t length = 0;
    while (length + 1 < sizeof challenge_line) {
        char *line = challenge_line + length;
        if (!read_line_unbuffered(fd, line, static_cast<int>(sizeof challenge_line - length)))
            break;
        cut_line(line);
        const size_t added = std::strlen(line);
        count_symbols(line, progress);
        length += added;
        if (added == 0 || progress.ended || progress.symbols >= whole_symbols)
            break;
    }
    tcflush(fd, TCIFLUSH);
}

} // namespace

bool read_line(char *buffer, int size, FILE *input)
{
    return std::fgets(buffer, size, input) != nullptr;
}

bool read_line_unbuffered(int fd, char *buffer, int size)
{
    if (size == 1) { // room for the terminator only, as fgets has it
        buffer[0] = '\0';
        return true;
    }
    int stored = 0;
    while (stored < size - 1) {
        char byte = 0;
        const ssize_t got = read(fd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        buffer[stored++] = byte;
        OPENSSL_cleanse(&byte, sizeof byte);
        if (buffer[stored - 1] == '\n')
            break;
    }
    if (stored == 0)
        return false;
    buffer[stored] = '\0';
    return true;
}

void cut_line(char *buffer)
{
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
}

int supply_passphrase(char *buffer, int size, int, void *)
{
    ++passphrase_requests;
    if (size <= 0)
        return 0;
    if (is_terminal(stdin))
        return type_passphrase(buffer, size);
    return pipe_passphrase(buffer, size);
}

int supply_pin(const char *token_label, bool on_reader, char *buffer, int size)
{
    const std::string label = printable_label(token_label);
    if (on_reader) {
        if (is_terminal(stdin))
            show_on_terminal((pin_pad_start + label + pin_pad_end).c_str());
        return 0;
    }
    ++passphrase_requests;
    if (size <= 0)
        return 0;
    if (is_terminal(stdin)) {
        const std::string prompt = pin_prompt_start + label + pin_prompt_end;
        return static_cast<int>(read_hidden_line(prompt.c_str(), buffer, static_cast<size_t>(size)));
    }
    return pipe_passphrase(buffer, size);
}

const char *fetch_challenge(FILE *input, size_t whole_symbols)
{
    if (is_terminal(input)) {
        std::fputs(challenge_prompt, stderr);
        read_pasted_challenge(input, whole_symbols);
        return challenge_line;
    }
    size_t skipped = 0;
    if (passphrase_requests == 0)
        skipped = skip_passphrase_line(input);
    if (read_line(challenge_line, sizeof challenge_line, input))
        wipe_rest_of_skipped_line(skipped);
    cut_line(challenge_line);
    return challenge_line;
}
