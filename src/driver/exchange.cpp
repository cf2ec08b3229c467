#include "exchange.h"

#include "answer.h"
#include "console.h"
#include "key.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
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

// What a person at the terminal is told when the key file held no RSA
// private key and no passphrase was asked for, which would leave the key
// error's question about the passphrase unexplained.
void explain_key_error(const key_report &report)
{
    if (!is_interactive() || passphrase_requests != 0)
        return;
    switch (report.finding) {
    case key_finding::empty:
        std::fputs("velkin: the key file is empty.\n", stderr);
        break;
    case key_finding::openssh_key:
        std::fputs("velkin: the key is in OpenSSH's own format; if it is an RSA key, "
                   "ssh-keygen -p -m PEM -f KEYFILE rewrites it in PEM form.\n", stderr);
        break;
    case key_finding::other_type:
        std::fprintf(stderr, "velkin: the file holds %s private key; velkin needs an RSA one.\n",
                     report.type_name);
        break;
    case key_finding::public_key:
        std::fputs("velkin: the file holds a public key; velkin needs the private key.\n", stderr);
        break;
    case key_finding::certificate:
        std::fputs("velkin: the file holds a certificate but no private key.\n", stderr);
        break;
    case key_finding::damaged_key:
        std::fputs("velkin: the private key in the file is damaged or cut short.\n", stderr);
        break;
    case key_finding::unknown:
        std::fputs("velkin: the file holds no private key in PEM form.\n", stderr);
        break;
    }
}

// A directory opens for reading on some systems, but holds no key to read.
FILE *open_key_file(const char *path)
{
    FILE *file = std::fopen(path, "r");
    struct stat status{};
    if (file != nullptr && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
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

// A challenge is a ciphertext as long as the key's modulus, k bytes: in
// Base64, ceil(4k / 3) symbols before any padding. At a terminal, a challenge
// pasted over several lines is read until it has that many.
size_t challenge_symbols(EVP_PKEY *key)
{
    const size_t modulus_bytes = static_cast<size_t>(EVP_PKEY_get_size(key));
    return (4 * modulus_bytes + 2) / 3;
}

} // namespace

int run_exchange(int argc, char **argv)
{
    if (argc <= 1)
        return fail(outcome::usage);
    // Declared first, so that it outlives the key.
    const provider_handle crypto = start_crypto();
    if (!crypto)
        return fail(outcome::unreadable_key);

    std::unique_ptr<FILE, file_close> key_file(open_key_file(argv[1]));
    if (!key_file)
        return fail(outcome::unopenable_key);
    key_report report;
    const key_handle key = read_private_key(key_file.get(), &report);
    key_file.reset();
    if (!key) {
        const int status = fail(outcome::unreadable_key);
        explain_key_error(report);
        return status;
    }

    // Only now is it known whether a piped passphrase line still waits.
    const char *line = fetch_challenge(stdin, challenge_symbols(key.get()));
    text_block response;
    const outcome answered = answer_challenge(key.get(), line, &response);
    if (answered != outcome::answered)
        return fail(answered);

    const bool shown = write_response(response.get());
    OPENSSL_cleanse(response.get(), std::strlen(response.get()));
    return shown ? 0 : fail(outcome::unwritable_response);
}
