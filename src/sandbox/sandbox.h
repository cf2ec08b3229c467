// SPDX-License-Identifier: BSD-2-Clause
// Closing the process in on itself: from a point on it may only read standard
// input, write standard output and error, manage its memory, signals and
// terminal, and exit. Nothing here allocates, and it either takes effect
// whole or not at all.
#ifndef VELKIN_SANDBOX_SANDBOX_H
#define VELKIN_SANDBOX_SANDBOX_H

// Called, from a signal handler, when the process makes a call outside what
// it is allowed; must be async-signal-safe and must end the process.
using forbidden_call_handler = void (*)(int signal_number);

// Allows the process from now on only the system calls that reading standard
// input (at a terminal too, with job control, the settings of the terminal
// and stopping itself), computing, writing standard output and error, and
// exiting take; any other call ends up in on_forbidden_call. Returns false,
// with the process as it was, where the system refuses.
bool confine_process(forbidden_call_handler on_forbidden_call);

#endif
