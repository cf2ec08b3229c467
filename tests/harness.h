// SPDX-License-Identifier: BSD-2-Clause
// Runs the real velkin binary for the end-to-end tests: piped, with given
// standard input, or at a pseudo-terminal, and makes challenges for the
// committed fixture keys with libcrypto alone.
#ifndef VELKIN_TESTS_HARNESS_H
#define VELKIN_TESTS_HARNESS_H

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

// Passphrase of every protected fixture key.
constexpr char fixture_passphrase[] = "velkin-test";

// What velkin shows and says, the prompts as a terminal shows them.
constexpr char passphrase_prompt[] = "Enter passphrase for private key: ";
constexpr char challenge_prompt[] = "Please paste challenge text now\r\n";
constexpr char response_prefix[] = "Response: /quote CHALLENGE +";
constexpr char usage_error[] = "Error: Usage: velkin privatefile\n";
constexpr char open_error[] = "Error: Could not open the private keyfile.\n";
constexpr char key_error[] = "Error: Unable to read your private key, is the passphrase wrong?\n";
constexpr char challenge_error[] = "Error: Bad challenge.\n";
constexpr char decryption_error[] = "Error: Decryption error.\n";
constexpr char out_of_memory_error[] = "Error: Out of memory.\n";
constexpr char pin_error[] = "Error: Unable to use the token key, is the PIN wrong?\n";

std::string fixture(const std::string &name);

// Everything fd gives until its end.
std::string read_to_end(int fd);

// Where Debian and FreeBSD keep SoftHSM2's module; empty when it is not there.
std::string softhsm_module();

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

// Runs velkin with args, feeding input to its standard input. Every run
// starts velkin behind the words of VELKIN_WRAPPER when that is set (a
// memory checker, say).
// input is sent repeat times over, so that a huge input needs no huge string
// (a forked child's size before exec counts towards its peak).
piped_run run_piped(const std::vector<std::string> &args, const std::string &input,
                    size_t repeat = 1);

// Expects the run to have answered for plaintext: the response line on
// standard output, nothing on standard error, status 0.
void expect_answer(const piped_run &run, const std::string &plaintext);

// Expects the run to have failed with message (the whole of standard output),
// nothing on standard error, status 255.
void expect_failure(const piped_run &run, const char *message);

struct file_run {
    int wait_status;
    std::string out;
    off_t input_read; // how far velkin read in its standard input
};

// Runs velkin with args and standard input read from a file holding input;
// the file offset, shared with velkin, tells how much of it was read.
file_run run_with_input_file(const std::vector<std::string> &args, const std::string &input);

// velkin running at a pseudo-terminal (standard input, output and error on
// its slave side unless standard output is sent to a file).
struct terminal_run {
    pid_t pid;
    int master;
    std::string seen; // everything the terminal has shown so far
    bool echoed_at_end = false; // set by finish: the settings velkin left
};

terminal_run start_at_terminal(const std::vector<std::string> &args,
                               const std::string &stdout_path = "");

// Like start_at_terminal, but velkin runs as a job of a small stand-in for a
// job-control shell, so that Ctrl-Z stops it; in the foreground unless
// background is set. pid is that stand-in's: it stops when velkin stops, and
// when continued brings velkin to the foreground and continues it, as fg
// does; it ends the way velkin ends.
terminal_run start_as_job(const std::vector<std::string> &args, bool background = false);

// Waits until the process is stopped; false on timeout or if it ended.
bool wait_until_stopped(terminal_run &run, int timeout_ms = 10000);

// An interactive bash (no startup files, its default line editor, job
// control) at a pseudo-terminal of 50 rows and 200 columns, started in dir
// with nothing in its environment but the given NAME=value entries.
terminal_run start_shell(const std::string &dir, const std::vector<std::string> &environment);

// Reads what the terminal shows until it contains text at or after offset
// from; false on timeout.
bool wait_for(terminal_run &run, const std::string &text, int timeout_ms = 10000,
              size_t from = 0);

void type(terminal_run &run, const std::string &keys);

// With the passphrase prompt shown: types passphrase, pastes challenge once
// the challenge prompt shows, and finishes the run. Returns its wait status,
// or -1 when the challenge prompt never came.
int complete_at_terminal(terminal_run &run, const std::string &passphrase,
                         const std::string &challenge);

// Reads the rest of the output and reaps the process; returns its wait status.
int finish(terminal_run &run, int timeout_ms = 10000);

// Whether the terminal currently echoes what is typed.
bool terminal_echoes(const terminal_run &run);

#endif
