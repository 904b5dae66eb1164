# One static PIE for 64-bit Arm that needs nothing of a device but its
# kernel, so that it runs unchanged on Android and on arm64 Linux: the musl
# build, against the musl of musl-dev:arm64. The tests run it under
# qemu-user, which needs no libraries for it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
# -cpu max enforces BTI and PAC in an executable marked for them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu max)
