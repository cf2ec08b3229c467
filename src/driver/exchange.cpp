#include "exchange.h"

#include "answer.h"
#include "console.h"
#include "hardening.h"
#include "key.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr char response_prefix[] = "Response: /quote CHALLENGE +";

struct file_close {
    void operator()(FILE *file) const { std::fclose(file); }
};

const char *message_of(outcome result)
{
    switch (result) {
    case outcome::usage:
        return "Error: Usage: velkin privatefile";
    case outcome::unopenable_key:
        return "Error: Could not open the private keyfile.";
    case outcome::unreadable_key:
        return "Error: Unable to read your private key, is the passphrase wrong?";
    case outcome::bad_challenge:
        return "Error: Bad challenge.";
    case outcome::decryption_error:
        return "Error: Decryption error.";
    case outcome::out_of_memory:
        return "Error: Out of memory.";
    default:
        return nullptr;
    }
}

// The only place a failure becomes a message and a status.
int fail(outcome result)
{
    if (const char *message = message_of(result)) {
        std::puts(message);
        std::fflush(stdout);
    }
    return -1;
}

bool is_interactive()
{
    return isatty(fileno(stdin)) == 1;
}

// Shows the response; a response that cannot be written is a failure, since
// the user would otherwise be left without it and a script told all is well.
bool write_response(const char *response)
{
    if (is_interactive())
        std::fwrite(response_prefix, 1, sizeof response_prefix - 1, stderr);
    const bool written = std::puts(response) != EOF;
    const bool flushed = std::fflush(stdout) == 0;
    std::fflush(nullptr);
    return written && flushed;
}

} // namespace

int run_exchange(int argc, char **argv)
{
    harden_process();
    if (argc <= 1)
        return fail(outcome::usage);
    // Declared first, so that it outlives the key.
    const provider_handle crypto = start_crypto();
    if (!crypto)
        return fail(outcome::unreadable_key);

    std::unique_ptr<FILE, file_close> key_file(std::fopen(argv[1], "r"));
    if (!key_file)
        return fail(outcome::unopenable_key);
    const key_handle key = read_private_key(key_file.get());
    key_file.reset();
    if (!key)
        return fail(outcome::unreadable_key);

    // The key is loaded and nothing more is to be opened.
    enter_sandbox();
    // Only now is it known whether a piped passphrase line still waits.
    const char *line = fetch_challenge(stdin);
    text_block response;
    const outcome answered = answer_challenge(key.get(), line, &response);
    OPENSSL_cleanse(challenge_line, sizeof challenge_line);
    if (answered != outcome::answered)
        return fail(answered);

    const bool shown = write_response(response.get());
    OPENSSL_cleanse(response.get(), std::strlen(response.get()));
    return shown ? 0 : fail(outcome::unwritable_response);
}
