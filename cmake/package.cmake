# The packages, made by CPack in a build folder after a Release build (see
# docs/DEVELOPING.md; scripts/release makes both):
# - on Linux, `cpack -G DEB` makes keyfolder_<version>_<arch>.deb with the
#   program in /usr/bin, the manual page, the copyright file and the
#   changelog;
# - in the MinGW-w64 build, `cpack -G ZIP` makes
#   keyfolder-<version>-windows-x86_64.zip with keyfolder.exe, README.txt,
#   LICENSE.txt and the manual page as keyfolder.txt, in a folder of that name;
# - in a static build (-DKEYFOLDER_STATIC=ON), `cpack -G External` makes
#   keyfolder-<version>-linux-<arch>.tar.gz with the program, keyfolder.1,
#   README.md and LICENSE, in a folder of that name (and a .json file of
#   CPack's that no one needs), packed by cmake/linux_tarball.cmake.
# The version is the project's. With SOURCE_DATE_EPOCH set, CPack gives every
# file in a package that time, so two builds of one commit give the same bytes.
set(CPACK_PACKAGE_NAME keyfolder)
set(CPACK_PACKAGE_VENDOR "Lanternfold Tools")
set(CPACK_PACKAGE_CONTACT "Lanternfold Tools <keyfolder@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "gather the floating keys of arena configuration files under their sections")
set(CPACK_PACKAGE_DESCRIPTION
  "keyfolder tidies arena configuration files: ini-like text with [section]
headers, name=value lines, comments, # directives and floating keys of the
form section:name=value that name their own section. It gathers every key
under its own section and rewrites the file in a fixed section order, with
a stamp line on top.")
# Stripped whatever the build type; a Release build is stripped already.
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The texts a Windows user reads, with CR LF line ends: the README, the
  # licence and the manual page rendered by groff (package groff-base).
  find_program(KEYFOLDER_GROFF groff)
  if(NOT KEYFOLDER_GROFF)
    message(FATAL_ERROR "groff is needed to render the manual page for the Windows zip "
      "(Debian package groff-base)")
  endif()
  set(keyfolder_windows_text ${CMAKE_CURRENT_SOURCE_DIR}/cmake/windows_text.cmake)
  add_custom_command(OUTPUT README.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/README.md -DOUT=README.txt
      -P ${keyfolder_windows_text}
    DEPENDS README.md ${keyfolder_windows_text}
    VERBATIM)
  add_custom_command(OUTPUT LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/LICENSE -DOUT=LICENSE.txt
      -P ${keyfolder_windows_text}
    DEPENDS LICENSE ${keyfolder_windows_text}
    VERBATIM)
  add_custom_command(OUTPUT keyfolder.txt
    COMMAND ${CMAKE_COMMAND} -DGROFF=${KEYFOLDER_GROFF}
      -DIN=${CMAKE_CURRENT_SOURCE_DIR}/docs/keyfolder.1 -DOUT=keyfolder.txt
      -P ${keyfolder_windows_text}
    DEPENDS docs/keyfolder.1 ${keyfolder_windows_text}
    VERBATIM)
  add_custom_target(keyfolder_windows_texts ALL DEPENDS README.txt LICENSE.txt keyfolder.txt)
  install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/README.txt
    ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
    ${CMAKE_CURRENT_BINARY_DIR}/keyfolder.txt
    DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-${CMAKE_SYSTEM_PROCESSOR}")
elseif(KEYFOLDER_STATIC)
  # The texts as they are: a Linux user reads the manual page with man -l.
  install(FILES docs/keyfolder.1 README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR External)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/cmake/linux_tarball.cmake)
  set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}")
else()
  # The changelog, made from CHANGELOG.md in the form Debian reads
  # (cmake/debian_changelog.awk) and compressed as the manual page is.
  find_program(KEYFOLDER_AWK NAMES awk mawk gawk)
  if(NOT KEYFOLDER_AWK)
    message(FATAL_ERROR "awk is needed to write the package's changelog")
  endif()
  set(keyfolder_changelog_awk ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian_changelog.awk)
  add_custom_command(OUTPUT changelog.gz
    COMMAND ${KEYFOLDER_AWK} -v package=${CPACK_PACKAGE_NAME}
      -v maintainer=${CPACK_PACKAGE_CONTACT} -f ${keyfolder_changelog_awk}
      ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md > changelog
    COMMAND ${KEYFOLDER_GZIP} -9 -n -f changelog
    DEPENDS CHANGELOG.md ${keyfolder_changelog_awk}
    VERBATIM)
  add_custom_target(keyfolder_changelog ALL DEPENDS changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # The dependencies are read off the binary by dpkg-shlibdeps (package
  # dpkg-dev), which also needs the file command. For the arm64 package it
  # reads them off the C library of that architecture as Debian installs it
  # beside the machine's own (`dpkg --add-architecture arm64`, then
  # libc6:arm64); without it, it stops with "cannot find library".
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
