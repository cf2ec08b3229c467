# SPDX-License-Identifier: BSD-2-Clause
# How velkin and the floor link the C++ runtime.
#
# A whole run is a few milliseconds, and binding the shared C++ runtime at
# start-up costs about a fifteenth of it; velkin needs little of that runtime,
# so where the toolchain can, that little is linked into the program, which
# then needs only libc and libcrypto (and p11-kit).
#
# On FreeBSD the C++ runtime (libc++, libcxxrt, libgcc_s) is part of the base
# system and its programs link it shared; clang's FreeBSD driver accepts
# -static-libstdc++ and ignores it. velkin links it the way the system does.
#
# A compiler that accepts the flags proves nothing, so the decision rests on a
# linked program: a test program that uses the runtime is linked with them and
# the libraries it needs are read back from it.
#
# Sets VELKIN_STATIC_CXX_RUNTIME and VELKIN_CXX_RUNTIME_NEEDED (a regular
# expression for readelf -d lines naming a shared C++ runtime), and defines
# velkin_link_cxx_runtime(target).

set(VELKIN_CXX_RUNTIME_NEEDED
  "\\(NEEDED\\)[^\n]*\\[(libstdc\\+\\+|libc\\+\\+|libc\\+\\+abi|libcxxrt|libgcc_s)\\.so")

# Links a program using the C++ runtime with -static-libstdc++ -static-libgcc
# and sets result to TRUE only if the program needs no shared C++ runtime;
# why holds the reason otherwise.
function(velkin_probe_static_cxx_runtime result why)
  set(${result} FALSE PARENT_SCOPE)
  if(NOT CMAKE_READELF)
    set(${why} "no readelf to check the linked program with" PARENT_SCOPE)
    return()
  endif()
  set(folder "${CMAKE_BINARY_DIR}/CMakeFiles/velkin-cxx-runtime")
  # Strings in a vector: operator new, the runtime's exceptions and unwinding.
  file(WRITE "${folder}/probe.cpp" [[
#include <string>
#include <vector>
int main(int argc, char **argv)
{
    std::vector<std::string> words(argv, argv + argc);
    return static_cast<int>(words.back().size());
}
]])
  try_compile(linked "${folder}/build" "${folder}/probe.cpp"
    LINK_OPTIONS -static-libstdc++ -static-libgcc
    OUTPUT_VARIABLE log
    COPY_FILE "${folder}/probe")
  if(NOT linked)
    set(${why} "the linker refuses -static-libstdc++ -static-libgcc" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND "${CMAKE_READELF}" -d "${folder}/probe"
    RESULT_VARIABLE status OUTPUT_VARIABLE dynamic ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(${why} "readelf could not read the linked program" PARENT_SCOPE)
  elseif(dynamic MATCHES "${VELKIN_CXX_RUNTIME_NEEDED}")
    set(${why} "linked with -static-libstdc++ -static-libgcc, a program still needs ${CMAKE_MATCH_1}"
      PARENT_SCOPE)
  else()
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

set(VELKIN_STATIC_CXX_RUNTIME FALSE)
if(VELKIN_SANITIZE OR VELKIN_FUZZ)
  set(cxx_runtime_why "builds with sanitizers keep it shared")
elseif(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  set(cxx_runtime_why "part of FreeBSD's base system, linked as the system's programs link it")
else()
  velkin_probe_static_cxx_runtime(VELKIN_STATIC_CXX_RUNTIME cxx_runtime_why)
endif()
if(VELKIN_STATIC_CXX_RUNTIME)
  message(STATUS "velkin: C++ runtime: linked into the program")
else()
  message(STATUS "velkin: C++ runtime: shared (${cxx_runtime_why})")
endif()

function(velkin_link_cxx_runtime target)
  if(VELKIN_STATIC_CXX_RUNTIME)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
