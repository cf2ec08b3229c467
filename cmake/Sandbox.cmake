# SPDX-License-Identifier: BSD-2-Clause
# The sandbox velkin enters once its key is loaded: a seccomp filter built
# with libseccomp on Linux, Capsicum on FreeBSD. Where neither is to be had,
# velkin builds without one and says so here. Builds with sanitizers (and so
# the fuzz build) leave it out: the sanitizers' own work at exit, the leak
# check above all, needs calls that the filter forbids. For that same leak
# check they also keep libcrypto's clean-up at exit, which velkin skips, and
# the fuzz build, checked for leaks between inputs, does without the secure
# heap, into which the leak checker cannot see.
#
# Sets VELKIN_SANDBOX to seccomp, capsicum or none, and gives velkin_core
# what the chosen one needs.

include(CheckIncludeFileCXX)

set(VELKIN_SANDBOX none)
if(VELKIN_SANITIZE OR VELKIN_FUZZ)
  message(STATUS "velkin: built with sanitizers, so without its sandbox")
  target_compile_definitions(velkin_core PRIVATE VELKIN_EXIT_CLEANUP
    $<$<BOOL:${VELKIN_FUZZ}>:VELKIN_FUZZ_BUILD>)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_path(SECCOMP_INCLUDE_DIR seccomp.h)
  find_library(SECCOMP_LIBRARY seccomp)
  if(SECCOMP_INCLUDE_DIR AND SECCOMP_LIBRARY)
    set(VELKIN_SANDBOX seccomp)
    target_include_directories(velkin_core PRIVATE ${SECCOMP_INCLUDE_DIR})
    target_link_libraries(velkin_core PRIVATE ${SECCOMP_LIBRARY})
    target_compile_definitions(velkin_core PRIVATE VELKIN_SANDBOX_SECCOMP)
  else()
    message(WARNING "velkin: libseccomp not found (Debian: libseccomp-dev); "
                    "velkin is built WITHOUT its sandbox")
  endif()
else()
  check_include_file_cxx(sys/capsicum.h VELKIN_HAVE_CAPSICUM)
  if(VELKIN_HAVE_CAPSICUM)
    set(VELKIN_SANDBOX capsicum)
    target_compile_definitions(velkin_core PRIVATE VELKIN_SANDBOX_CAPSICUM)
  else()
    message(WARNING "velkin: neither seccomp nor Capsicum on this system; "
                    "velkin is built WITHOUT its sandbox")
  endif()
endif()
if(NOT VELKIN_SANDBOX STREQUAL "none")
  message(STATUS "velkin: sandbox: ${VELKIN_SANDBOX}")
endif()
