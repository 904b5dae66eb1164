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
set(musl_include /usr/include/aarch64-linux-musl)
set(musl_lib /usr/lib/aarch64-linux-musl)
set(CMAKE_C_FLAGS_INIT "-nostdinc -isystem ${musl_include}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -nostdinc++ -isystem ${musl_include}")

# A static PIE, so that the kernel loads it at a random address, with no
# C++ runtime; laid out for 64 KB pages, the largest arm64 kernels use, so
# that 4, 16 and 64 KB kernels all start it.
include(${CMAKE_CURRENT_LIST_DIR}/link-flags.cmake)
zem_toolchain_link_flags(-fuse-ld=lld -static-pie -nostdlib++
  -L${musl_lib} -B${musl_lib} -Wl,-z,max-page-size=65536)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
