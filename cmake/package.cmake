# The Debian package, made by `cpack -G DEB` in a build folder after a build:
# keyfolder_<version>_<arch>.deb with the program in /usr/bin, the manual
# page and the copyright file. Build it from a Release build (see README.md).
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
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are read off the binary by dpkg-shlibdeps (package
# dpkg-dev), which also needs the file command.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Stripped whatever the build type; a Release build is stripped already.
set(CPACK_STRIP_FILES ON)
include(CPack)
