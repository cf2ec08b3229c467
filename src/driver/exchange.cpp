// SPDX-License-Identifier: BSD-2-Clause
#include "exchange.h"

#include "answer.h"
#include "console.h"
#include "hardening.h"
#include "key.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char response_prefix[] = "Response: /quote CHALLENGE +";

constexpr char help_text[] =
    "Usage: velkin privatefile\n"
    "\n"
    "Answers a server's RSA login challenge: decrypts the Base64 challenge with\n"
    "the RSA private key in the PEM file privatefile, hashes the plaintext with\n"
    "SHA-1 and prints the Base64 digest, the response to send back.\n"
    "An argument that begins with pkcs11: is instead a PKCS#11 URI naming an RSA\n"
    "key kept in a hardware token, which asks for the token's PIN in place of the\n"
    "passphrase.\n"
    "\n"
    "At a terminal velkin asks for the key's passphrase without echo (only if the\n"
    "key is protected), then for the challenge, and shows the response behind\n"
    "\"Response: /quote CHALLENGE +\".\n"
    "From a script (standard input not a terminal) it reads a passphrase line and\n"
    "a challenge line from standard input and prints only the response.\n"
    "It exits with 0, or with 255 after one \"Error: \" line on standard output.\n"
    "\n"
    "  -h, --help   show this text\n"
    "  --version    show velkin's version\n"
    "\n"
    "These work only as the sole argument; name a key file called --help as\n"
    "./--help. The manual page tells more: man velkin\n";

constexpr char version_text[] = "velkin " VELKIN_VERSION "\n";

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
    case outcome::bad_token_uri:
        return "Error: Bad PKCS#11 URI.";
    case outcome::unloadable_module:
        return "Error: Could not load the PKCS#11 module.";
    case outcome::no_token_key:
        return "Error: No token key matches the URI.";
    case outcome::several_token_keys:
        return "Error: Several token keys match the URI.";
    case outcome::token_login_failed:
        return "Error: Unable to use the token key, is the PIN wrong?";
    case outcome::token_without_oaep:
        return "Error: The token cannot decrypt with this key by RSA-OAEP.";
    case outcome::bad_challenge:
        return "Error: Bad challenge.";
    case outcome::decryption_error:
        return "Error: Decryption error.";
    case outcome::out_of_memory:
        return out_of_memory_message;
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

// The answers every Unix tool gives to --help, -h and --version, but only
// when that is the one argument: anything else stays a key file path, as it
// always was. Null when the run is an exchange.
const char *text_asked_for(int argc, char **argv)
{
    if (argc != 2)
        return nullptr;
    const std::string_view argument = argv[1];
    if (argument == "--help" || argument == "-h")
        return help_text;
    if (argument == "--version")
        return version_text;
    return nullptr;
}

bool show_text(const char *text)
{
    const bool written = std::fputs(text, stdout) != EOF;
    return std::fflush(stdout) == 0 && written;
}

// A directory opens for reading on some systems, but holds no key to read.
FILE *open_key_file(const char *path)
{
    FILE *file = std::fopen(path, "r");
    struct stat status{};
    if (file != nullptr && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

outcome read_key_file(const char *path, user_key *key, key_report *report)
{
    std::unique_ptr<FILE, file_close> key_file(open_key_file(path));
    // The C library may have had no memory for the stream.
    if (!key_file)
        return errno == ENOMEM ? outcome::out_of_memory : outcome::unopenable_key;
    key->source = key_source::file;
    key->file_key = read_private_key(key_file.get(), report);
    if (key->file_key)
        return outcome::ready;
    // A file that opens but fails to read is no more readable than one that
    // does not open.
    return report->finding == key_finding::unreadable_file ? outcome::unopenable_key
                                                           : outcome::unreadable_key;
}

outcome outcome_of(token_status status)
{
    switch (status) {
    case token_status::ready:
        return outcome::ready;
    case token_status::bad_uri:
        return outcome::bad_token_uri;
    case token_status::module_unloadable:
        return outcome::unloadable_module;
    case token_status::no_match:
        return outcome::no_token_key;
    case token_status::several_match:
        return outcome::several_token_keys;
    case token_status::login_failed:
        return outcome::token_login_failed;
    case token_status::no_oaep:
        return outcome::token_without_oaep;
    case token_status::out_of_memory:
        return outcome::out_of_memory;
    default:
        return outcome::decryption_error;
    }
}

outcome open_token(const char *uri, user_key *key)
{
    key->source = key_source::token;
    return outcome_of(open_token_key(uri, supply_pin, &key->token, &key->candidates));
}

// The key named on the command line: a PKCS#11 URI names a key in a token,
// anything else a key file (./pkcs11:... is a file of that name).
outcome obtain_key(const char *argument, user_key *key, key_report *report)
{
    return names_token_key(argument) ? open_token(argument, key)
                                     : read_key_file(argument, key, report);
}

// The URIs to choose from when several tokens or keys fit, one a line.
void list_candidates(const std::vector<std::string> &candidates)
{
    for (const std::string &uri : candidates)
        std::fprintf(stderr, "%s\n", uri.c_str());
    std::fflush(stderr);
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
    case key_finding::oversized:
        std::fprintf(stderr, "velkin: the file is larger than %zu MiB, more than any key file "
                             "holds, so it was not read.\n", key_file_limit >> 20);
        break;
    case key_finding::unknown:
        std::fputs("velkin: the file holds no private key in PEM form.\n", stderr);
        break;
    case key_finding::unreadable_file: // reported as a file that cannot be opened
        break;
    }
}

// The key error, with what helps the user past it: the URIs to choose from
// when several token keys fit, and at a terminal what the file held instead.
int fail_to_obtain(outcome obtained, const user_key &key, const key_report &report)
{
    list_candidates(key.candidates);
    const int status = fail(obtained);
    if (obtained == outcome::unreadable_key)
        explain_key_error(report);
    return status;
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
size_t challenge_symbols(const user_key &key)
{
    return (4 * modulus_bytes(key) + 2) / 3;
}

} // namespace

int run_exchange(int argc, char **argv)
{
    if (!open_standard_descriptors())
        return -1;
    harden_process();
    if (const char *text = text_asked_for(argc, argv))
        return show_text(text) ? 0 : fail(outcome::unwritable_response);
    if (argc <= 1)
        return fail(outcome::usage);
    // Declared first, so that it outlives the key.
    const provider_handle crypto = start_crypto();
    if (!crypto)
        return fail(outcome::unreadable_key);

    user_key key;
    key_report report;
    const outcome obtained = obtain_key(argv[1], &key, &report);
    if (obtained != outcome::ready)
        return fail_to_obtain(obtained, key, report);

    // The key is ready and nothing more is to be opened; a token's module,
    // though, may open its own files whenever it is called, so only a key
    // file lets the process close itself in.
    if (key.source == key_source::file)
        enter_sandbox();
    // Only now is it known whether a piped passphrase or PIN line still waits.
    const char *line = fetch_challenge(stdin, challenge_symbols(key));
    text_block response;
    const outcome answered = answer_challenge(key, line, &response);
    OPENSSL_cleanse(challenge_line, sizeof challenge_line);
    if (answered != outcome::answered)
        return fail(answered);

    const bool shown = write_response(response.get());
    OPENSSL_cleanse(response.get(), std::strlen(response.get()));
    return shown ? 0 : fail(outcome::unwritable_response);
}
