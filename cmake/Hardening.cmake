# SPDX-License-Identifier: BSD-2-Clause
# Hardening for every velkin target, the set Debian and FreeBSD use for
# security tools: a position-independent executable, a stack protector,
# checked libc calls and a read-only relocation table bound at start-up.
# Everything goes on velkin_settings, so it reaches each target that links it
# and leaves the global flags alone.

option(VELKIN_HARDENING "Build with stack protector, _FORTIFY_SOURCE, PIE and full RELRO" ON)

if(VELKIN_HARDENING)
  include(CheckPIESupported)
  check_pie_supported(OUTPUT_VARIABLE pie_report LANGUAGES CXX)
  if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
    message(WARNING "The linker cannot make a position-independent executable:\n${pie_report}")
  endif()
  # Targets that link velkin_settings take this as their own
  # POSITION_INDEPENDENT_CODE: -fPIE/-fPIC when compiling, -pie when linking.
  set_property(TARGET velkin_settings PROPERTY INTERFACE_POSITION_INDEPENDENT_CODE ON)

  target_compile_options(velkin_settings INTERFACE -fstack-protector-strong)
  # _FORTIFY_SOURCE only works with optimisation, and without it glibc warns,
  # which -Werror turns into a failed build. A level some compilers set on
  # their own is replaced, not redefined, for the same reason.
  set(optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  target_compile_options(velkin_settings INTERFACE
    "$<${optimised}:-U_FORTIFY_SOURCE>"
    "$<${optimised}:-D_FORTIFY_SOURCE=2>")
  target_link_options(velkin_settings INTERFACE "LINKER:-z,relro" "LINKER:-z,now")
endif()
