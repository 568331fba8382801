# Cross-builds keyfolder.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEYFOLDER_MINGW_PREFIX x86_64-w64-mingw32)

# The win32 thread model needs no winpthread DLL; the tool has one thread.
find_program(KEYFOLDER_MINGW_CXX
  NAMES ${KEYFOLDER_MINGW_PREFIX}-g++-win32 ${KEYFOLDER_MINGW_PREFIX}-g++-posix
        ${KEYFOLDER_MINGW_PREFIX}-g++)
if(NOT KEYFOLDER_MINGW_CXX)
  message(FATAL_ERROR "No MinGW-w64 g++ found (Debian package g++-mingw-w64-x86-64)")
endif()
set(CMAKE_CXX_COMPILER ${KEYFOLDER_MINGW_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/${KEYFOLDER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime is linked in, so the .exe needs nothing beyond
# what every Windows system has (KERNEL32.dll and msvcrt.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
