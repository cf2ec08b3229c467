#include "exchange.h"

#include "answer.h"
#include "console.h"
#include "key.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

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

outcome read_key_file(const char *path, user_key *key)
{
    std::unique_ptr<FILE, file_close> key_file(std::fopen(path, "r"));
    if (!key_file)
        return outcome::unopenable_key;
    key->source = key_source::file;
    key->file_key = read_private_key(key_file.get());
    return key->file_key ? outcome::ready : outcome::unreadable_key;
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
outcome obtain_key(const char *argument, user_key *key)
{
    return names_token_key(argument) ? open_token(argument, key) : read_key_file(argument, key);
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
    if (argc <= 1)
        return fail(outcome::usage);
    // Declared first, so that it outlives the key.
    const provider_handle crypto = start_crypto();
    if (!crypto)
        return fail(outcome::unreadable_key);

    user_key key;
    const outcome obtained = obtain_key(argv[1], &key);
    if (obtained != outcome::ready) {
        list_candidates(key.candidates);
        return fail(obtained);
    }

    // Only now is it known whether a piped passphrase or PIN line still waits.
    const char *line = fetch_challenge(stdin);
    text_block response;
    const outcome answered = answer_challenge(key, line, &response);
    if (answered != outcome::answered)
        return fail(answered);

    const bool shown = write_response(response.get());
    OPENSSL_cleanse(response.get(), std::strlen(response.get()));
    return shown ? 0 : fail(outcome::unwritable_response);
}
