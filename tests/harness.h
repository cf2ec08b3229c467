// Runs the real velkin binary for the end-to-end tests: piped, with given
// standard input, or at a pseudo-terminal, and makes challenges for the
// committed fixture keys with libcrypto alone.
#ifndef VELKIN_TESTS_HARNESS_H
#define VELKIN_TESTS_HARNESS_H

#include <string>
#include <sys/types.h>
#include <vector>

// Passphrase of every protected fixture key.
constexpr char fixture_passphrase[] = "velkin-test";

std::string fixture(const std::string &name);

// Base64 of an RSA-OAEP (SHA-1) ciphertext of plaintext for the public key in
// the PEM file at public_key_path.
std::string make_challenge(const std::string &public_key_path, const std::string &plaintext);

// The response velkin must give for plaintext: Base64 of its SHA-1 digest.
std::string expected_response(const std::string &plaintext);

struct piped_run {
    int wait_status;
    std::string out;
    std::string err;
};

// Exit status of a run that exited normally; -1 otherwise.
int exit_code(int wait_status);

// Runs velkin with args, feeding input to its standard input.
piped_run run_piped(const std::vector<std::string> &args, const std::string &input);

// velkin running at a pseudo-terminal (standard input, output and error on
// its slave side unless standard output is sent to a file).
struct terminal_run {
    pid_t pid;
    int master;
    std::string seen; // everything the terminal has shown so far
};

terminal_run start_at_terminal(const std::vector<std::string> &args,
                               const std::string &stdout_path = "");

// Reads what the terminal shows until it contains text; false on timeout.
bool wait_for(terminal_run &run, const std::string &text, int timeout_ms = 10000);

void type(terminal_run &run, const std::string &keys);

// Reads the rest of the output and reaps the process; returns its wait status.
int finish(terminal_run &run, int timeout_ms = 10000);

// Whether the terminal currently echoes what is typed.
bool terminal_echoes(const terminal_run &run);

#endif
