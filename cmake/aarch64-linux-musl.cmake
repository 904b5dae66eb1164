# One static PIE for 64-bit Arm that needs nothing of a device but its
# kernel, so that it runs unchanged on Android and on arm64 Linux: Debian's
# clang and lld against the musl of musl-dev:arm64. The tests run it under
# qemu-user, which needs no libraries for it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-musl)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-musl)

# Debian keeps musl's arm64 headers and libraries beside its own, not in a
# sysroot: only musl's headers may be seen, and the tool uses no C++ ones.
# A static PIE, so that the kernel loads it at a random address, with no C++
# runtime. Its page size is the project's, ZEM_PAGE_SIZE.
set(musl_include /usr/include/aarch64-linux-musl)
set(musl_lib /usr/lib/aarch64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-rules.cmake)
zem_toolchain_rules(
  COMPILE -nostdinc -isystem ${musl_include}
  LINK -fuse-ld=lld -static-pie -nostdlib++ -L${musl_lib} -B${musl_lib})

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
