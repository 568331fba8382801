# Cross-builds keyfolder for 64-bit ARM Linux with Debian's cross compiler
# (package g++-aarch64-linux-gnu): the arm64 package, or with
# -DKEYFOLDER_STATIC=ON the static program of the aarch64 tarball:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KEYFOLDER_CROSS_PREFIX aarch64-linux-gnu)
set(KEYFOLDER_CROSS_NAMES ${KEYFOLDER_CROSS_PREFIX}-g++)
set(KEYFOLDER_CROSS_PACKAGE g++-aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross_compiler.cmake)

# Debian's name for the architecture, which the package is named and marked
# for; left alone, CPack would take the build machine's (amd64).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
