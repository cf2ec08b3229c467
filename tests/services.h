// SPDX-License-Identifier: BSD-2-Clause
// Programs a test runs beside velkin, such as a token server or a software
// TPM with its resource manager: started as the current user, stopped by the
// test, and checked to be gone.
#ifndef VELKIN_TESTS_SERVICES_H
#define VELKIN_TESTS_SERVICES_H

#include <string>
#include <sys/types.h>
#include <vector>

// Starts argv (found on PATH) with standard input from /dev/null and its
// output appended to log_path; the child is ended with the test process
// should that die first. Returns its pid, or -1.
pid_t start_service(const std::vector<std::string> &argv, const std::string &log_path);

// Ends the service: SIGTERM, then SIGKILL if it is still there after a few
// seconds. True once it has been reaped and no process has its pid.
bool stop_service(pid_t pid);

// Whether the service has not ended (nor been reaped) yet.
bool service_running(pid_t pid);

// Waits until path exists; false on timeout.
bool wait_for_path(const std::string &path, int timeout_ms = 10000);

// Waits until something accepts connections on 127.0.0.1:port.
bool wait_for_port(int port, int timeout_ms = 10000);

// A TCP port on 127.0.0.1 that, like the one after it, nothing uses right
// now (swtpm's control channel is expected on the next port); -1 if none was
// found.
int free_tcp_port_pair();

// Runs command through the shell, its output discarded; true on status 0.
bool run_quietly(const std::string &command);

// What command writes on standard output (standard error discarded).
std::string output_of(const std::string &command);

// The first of paths that exists (patterns allowed, as the shell takes
// them), or empty.
std::string first_existing(const std::vector<std::string> &paths);

// Whether program is found on PATH or at its absolute path.
bool have_program(const std::string &program);

#endif
