# What `cmake --install` and cpack ship: the program and its manual page,
# nothing else (the tests and GoogleTest stay in the build tree).

include(GNUInstallDirs)

install(TARGETS velkin RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES doc/velkin.1 DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")

set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_PACKAGE_NAME velkin)
set(CPACK_PACKAGE_VENDOR "velkin maintainers")
set(CPACK_PACKAGE_CONTACT "velkin maintainers <maintainers@users.noreply.c-seed-9e5ef307.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "answer an RSA login challenge from the command line")
# Debian shows the description as it is written: keep lines short.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "velkin decrypts a server's RSA-OAEP login challenge with your private key,"
  "hashes the plaintext with SHA-1 and prints the Base64 digest to send back."
  "It works at a terminal, where it asks for the key's passphrase without"
  "echo, and from scripts, which pipe in the passphrase and the challenge.")
set(CPACK_STRIP_FILES ON)

# Debian package: name and dependencies follow Debian's rules; the
# dependencies come from the libraries the binary really links (libssl3 for
# libcrypto and libc6; the C++ runtime is linked into the program).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

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
