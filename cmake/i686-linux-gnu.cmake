# 32-bit x86 Linux, where size_t has 32 bits; runs natively on an x86_64
# host whose kernel runs 32-bit programs (else add
# -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386, as tools/cross-check.sh does):
#   cmake -S . -B build-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static, so the host needs no i386 C library to run the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(TXD_GTEST_FROM_SOURCE ON CACHE BOOL "")
