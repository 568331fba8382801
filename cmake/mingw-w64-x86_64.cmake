# Cross-builds keyfolder.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEYFOLDER_CROSS_PREFIX x86_64-w64-mingw32)
# The win32 thread model needs no winpthread DLL; the tool has one thread.
set(KEYFOLDER_CROSS_NAMES ${KEYFOLDER_CROSS_PREFIX}-g++-win32 ${KEYFOLDER_CROSS_PREFIX}-g++-posix
    ${KEYFOLDER_CROSS_PREFIX}-g++)
set(KEYFOLDER_CROSS_PACKAGE g++-mingw-w64-x86-64)
include(${CMAKE_CURRENT_LIST_DIR}/cross_compiler.cmake)

# The compiler's own runtime is linked in, so the .exe needs nothing beyond
# what every Windows system has (KERNEL32.dll and msvcrt.dll).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
