# SPDX-License-Identifier: BSD-2-Clause
# The end-to-end tests drive velkin through a pseudo-terminal with forkpty,
# which is not in POSIX and lives in a different place on each system:
# glibc declares it in <pty.h> (in libc since 2.34, in libutil before),
# FreeBSD in <libutil.h> in libutil, the other BSDs and macOS in <util.h>.
# This makes the INTERFACE target velkin_forkpty: linking it brings in the
# library where one is needed and defines VELKIN_FORKPTY_HEADER, so that
# `#include VELKIN_FORKPTY_HEADER` declares forkpty on every system.

include(CheckIncludeFileCXX)
include(CheckCXXSymbolExists)
include(CMakePushCheckState)

set(forkpty_header "")
foreach(candidate pty.h libutil.h util.h)
  string(MAKE_C_IDENTIFIER "VELKIN_HAVE_${candidate}" have_header)
  string(TOUPPER "${have_header}" have_header)
  check_include_file_cxx("${candidate}" ${have_header})
  if(${have_header})
    set(forkpty_header "${candidate}")
    break()
  endif()
endforeach()
if(NOT forkpty_header)
  message(FATAL_ERROR "No header declares forkpty (looked for pty.h, libutil.h, util.h)")
endif()

cmake_push_check_state(RESET)
check_cxx_symbol_exists(forkpty "${forkpty_header}" VELKIN_FORKPTY_IN_LIBC)
set(forkpty_library "")
if(NOT VELKIN_FORKPTY_IN_LIBC)
  find_library(VELKIN_UTIL_LIBRARY util)
  if(VELKIN_UTIL_LIBRARY)
    set(CMAKE_REQUIRED_LIBRARIES "${VELKIN_UTIL_LIBRARY}")
    check_cxx_symbol_exists(forkpty "${forkpty_header}" VELKIN_FORKPTY_IN_LIBUTIL)
    if(VELKIN_FORKPTY_IN_LIBUTIL)
      set(forkpty_library "${VELKIN_UTIL_LIBRARY}")
    endif()
  endif()
  if(NOT forkpty_library)
    message(FATAL_ERROR "forkpty links neither from the C library nor from libutil")
  endif()
endif()
cmake_pop_check_state()

add_library(velkin_forkpty INTERFACE)
target_link_libraries(velkin_forkpty INTERFACE ${forkpty_library})
target_compile_definitions(velkin_forkpty INTERFACE
  "VELKIN_FORKPTY_HEADER=<${forkpty_header}>")
