# SPDX-License-Identifier: BSD-2-Clause
# What `cmake --install` and the tarball ship: the program and its manual page,
# nothing else (the tests and GoogleTest stay in the build tree).

include(GNUInstallDirs)

install(TARGETS velkin RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES doc/velkin.1 DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

# The binary tarball. The Debian package is built from debian/ with
# dpkg-buildpackage instead, as Debian itself builds packages.
set(CPACK_GENERATOR "TGZ")
set(CPACK_PACKAGE_NAME velkin)
set(CPACK_PACKAGE_VENDOR "velkin maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "answer an RSA login challenge from the command line")
set(CPACK_STRIP_FILES ON)

include(CPack)

# The manual page must be clean mdoc; checked whenever mandoc is at hand.
# mandoc also looks up each page named in SEE ALSO among the manuals of this
# machine and reports whether and how they are indexed; that says nothing
# about this page, so those lines are dropped and any other output fails.
if(BUILD_TESTING)
  find_program(MANDOC_EXECUTABLE mandoc)
  if(MANDOC_EXECUTABLE)
    add_test(NAME manual_page_lint
      COMMAND sh -c [["$0" -Tlint "$1" 2>&1 | grep -v -e 'referenced manual not found' -e 'outdated mandoc.db lacks'; exit 0]]
              "${MANDOC_EXECUTABLE}" "${CMAKE_CURRENT_SOURCE_DIR}/doc/velkin.1")
    set_tests_properties(manual_page_lint PROPERTIES FAIL_REGULAR_EXPRESSION ".")
  endif()
endif()
