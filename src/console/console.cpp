#include "console.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
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
    char *typed = getpass(passphrase_prompt);
    if (typed == nullptr)
        return 0;
    const size_t typed_length = std::strlen(typed);
    const size_t count = std::min(typed_length, static_cast<size_t>(size));
    std::memcpy(buffer, typed, count);
    // getpass keeps its own copy; it must not outlive the key read.
    OPENSSL_cleanse(typed, typed_length);
    return static_cast<int>(count);
}

int pipe_passphrase(char *buffer, int size)
{
    if (!read_line(buffer, size, stdin))
        return 0;
    cut_line(buffer);
    return static_cast<int>(std::strlen(buffer));
}

} // namespace

bool read_line(char *buffer, int size, FILE *input)
{
    return std::fgets(buffer, size, input) != nullptr;
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

const char *fetch_challenge(FILE *input)
{
    if (is_terminal(input))
        std::fputs(challenge_prompt, stderr);
    else if (passphrase_requests == 0)
        read_line(challenge_line, sizeof challenge_line, input);
    read_line(challenge_line, sizeof challenge_line, input);
    cut_line(challenge_line);
    return challenge_line;
}
