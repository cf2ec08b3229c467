// SPDX-License-Identifier: BSD-2-Clause
// One login exchange, from the command line to the exit status: read the key,
// read the challenge, answer it, show the response.
#ifndef VELKIN_DRIVER_EXCHANGE_H
#define VELKIN_DRIVER_EXCHANGE_H

// The whole run; returns the exit status, 0 or -1 (255 to the shell). It
// alone turns a failure into its message.
int run_exchange(int argc, char **argv);

#endif
