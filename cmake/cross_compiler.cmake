# What the cross-build toolchain files share. Given KEYFOLDER_CROSS_PREFIX
# (the target's GNU triplet), KEYFOLDER_CROSS_NAMES (the compiler's names,
# the first found is taken) and KEYFOLDER_CROSS_PACKAGE (the Debian package
# that has it), it takes that compiler, and has CMake look for the target's
# libraries, headers and packages only in /usr/<triplet>, where Debian
# installs them, and for programs only on this machine.
find_program(KEYFOLDER_CROSS_CXX NAMES ${KEYFOLDER_CROSS_NAMES})
if(NOT KEYFOLDER_CROSS_CXX)
  message(FATAL_ERROR
    "No ${KEYFOLDER_CROSS_PREFIX} g++ found (Debian package ${KEYFOLDER_CROSS_PACKAGE})")
endif()
set(CMAKE_CXX_COMPILER ${KEYFOLDER_CROSS_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/${KEYFOLDER_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
