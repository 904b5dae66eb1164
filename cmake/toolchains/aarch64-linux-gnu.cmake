# 64-bit Arm Linux with glibc, from Debian's g++-aarch64-linux-gnu; the
# tests run the result under qemu-user with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# -cpu max enforces BTI and PAC in an executable marked for them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu max -L /usr/aarch64-linux-gnu)
