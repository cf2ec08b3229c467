# SPDX-License-Identifier: BSD-2-Clause
# The sandbox velkin enters once its key is loaded: a seccomp filter on Linux
# (x86-64 and aarch64), Capsicum on FreeBSD. Nobody gets a build without it
# unless they ask: where it cannot be built, configuring stops and names the
# way out, -DVELKIN_SANDBOX=OFF. Builds with sanitizers (and so the fuzz
# build) leave it out: the sanitizers' own work at exit, the leak check above
# all, needs calls that the filter forbids. For that same leak check they
# also keep libcrypto's clean-up at exit, which velkin skips, and the fuzz
# build, checked for leaks between inputs, does without the secure heap, into
# which the leak checker cannot see.
#
# Sets VELKIN_SANDBOX_KIND to seccomp, capsicum or none, and adds the chosen
# one's source from src/sandbox/ to velkin_core.

include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)

option(VELKIN_SANDBOX "Enter the system-call sandbox once the key is loaded" ON)

set(VELKIN_SANDBOX_KIND none)
if(VELKIN_SANITIZE OR VELKIN_FUZZ)
  message(STATUS "velkin: built with sanitizers, so without its sandbox")
  target_compile_definitions(velkin_core PRIVATE VELKIN_EXIT_CLEANUP
    $<$<BOOL:${VELKIN_FUZZ}>:VELKIN_FUZZ_BUILD>)
elseif(NOT VELKIN_SANDBOX)
  message(STATUS "velkin: built WITHOUT its sandbox, as asked (VELKIN_SANDBOX=OFF)")
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The filter is written for these architectures only; it is the compiler's
  # target that counts, not the machine's.
  check_cxx_source_compiles([[
#if !(defined(__x86_64__) && !defined(__ILP32__)) && !(defined(__aarch64__) && !defined(__AARCH64EB__))
#error no filter for this architecture
#endif
int main() { return 0; }]] VELKIN_SECCOMP_ARCHITECTURE)
  if(NOT VELKIN_SECCOMP_ARCHITECTURE)
    message(FATAL_ERROR "velkin: its sandbox, a seccomp filter, is written for x86-64 "
      "and aarch64 only, not for ${CMAKE_SYSTEM_PROCESSOR}. To build velkin without its "
      "sandbox, configure with -DVELKIN_SANDBOX=OFF.")
  endif()
  set(VELKIN_SANDBOX_KIND seccomp)
else()
  # A program that calls cap_enter must link, not only find the header.
  check_cxx_symbol_exists(cap_enter sys/capsicum.h VELKIN_HAVE_CAPSICUM)
  if(NOT VELKIN_HAVE_CAPSICUM)
    message(FATAL_ERROR "velkin: its sandbox needs seccomp (Linux) or Capsicum "
      "(FreeBSD), and ${CMAKE_SYSTEM_NAME} has neither. To build velkin without its "
      "sandbox, configure with -DVELKIN_SANDBOX=OFF.")
  endif()
  set(VELKIN_SANDBOX_KIND capsicum)
endif()

if(VELKIN_SANDBOX_KIND STREQUAL "none")
  target_sources(velkin_core PRIVATE src/sandbox/none.cpp)
else()
  target_sources(velkin_core PRIVATE src/sandbox/${VELKIN_SANDBOX_KIND}.cpp)
  message(STATUS "velkin: sandbox: ${VELKIN_SANDBOX_KIND}")
endif()
