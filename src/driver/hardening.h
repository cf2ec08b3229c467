// SPDX-License-Identifier: BSD-2-Clause
// Keeping the key and every other secret inside this process: no other
// process can trace it or read its memory, no core file holds it, what
// libcrypto frees is wiped first, the key's numbers lie in locked memory, and
// once the key is loaded the process can no longer open files or sockets or
// start programs.
#ifndef VELKIN_DRIVER_HARDENING_H
#define VELKIN_DRIVER_HARDENING_H

#include <cstddef>

// The line with which a system call the sandbox forbids ends the run, on
// standard output, with status 255.
constexpr char forbidden_call_error[] = "Error: Forbidden system call.\n";

// The line with which a run ends when memory runs out, without its line end,
// on standard output, with status 255.
constexpr char out_of_memory_message[] = "Error: Out of memory.";

// The very first step of a run, before anything is opened: opens /dev/null on
// each of standard input and error that is closed, so that nothing opened
// later takes its number and receives what is meant for the user. False
// when standard output is closed, as nothing could carry the response, or
// when /dev/null cannot be opened.
bool open_standard_descriptors();

// Ends the run, from wherever memory ran out, with out_of_memory_message and
// status 255.
[[noreturn]] void end_for_lack_of_memory();

// At the very start of the run, before libcrypto allocates anything: makes
// the process non-dumpable and untraceable and its core file size 0; routes
// every block libcrypto allocates through an allocator that wipes a block
// before freeing or moving it and ends the run when no block is to be had,
// as does any operator new that fails; gives standard input and output buffers of
// their own, wiped when the process exits.
void harden_process();

// Starts OpenSSL's secure heap, locked and left out of core files, so that
// the numbers of the key about to be decoded from key_text_size bytes of text
// lie there. It is sized for any key such a text can hold, since a full
// secure heap makes a key fail rather than fall back. Where it cannot start,
// or under valgrind, which cannot run it, the key lies in the ordinary heap.
void reserve_key_memory(size_t key_text_size);

// Once the key is loaded and nothing more is to be opened: draws the
// randomness the rest of the run needs, then allows the process only the
// system calls that reading the challenge (at a terminal too, with job
// control), decrypting, hashing, writing and exiting take, and wipes the
// stack below the caller, as far as the limit on the stack's size allows. A forbidden call then ends the run with
// forbidden_call_error and status 255. Under valgrind, in builds with
// sanitizers and where the system offers no sandbox, or cannot set it up,
// the run goes on without it.
void enter_sandbox();

#endif
