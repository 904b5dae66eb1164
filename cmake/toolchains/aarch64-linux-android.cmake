# Android on 64-bit Arm, against bionic, with Debian's clang and lld; the
# tests run the result on a real bionic under qemu-user.
#
# ZEM_ANDROID_API, the oldest Android API level that the executable runs on,
# 21 (Android 5.0, the first with arm64) unless -DZEM_ANDROID_API=N says
# otherwise. It makes the compiler's target, from which the project also
# takes what the executable's dynamic section may hold.
#
# Two directories, each given by its absolute path in the environment
# variable of the same name or with -DNAME=PATH, and kept in the build
# directory's cache once the project has checked it, so that later
# configures and builds need neither; a new -D value replaces the cached one:
#   ZEM_ANDROID_SYSROOT  bionic's headers, crt objects and libraries, in the
#                        layout of the NDK's sysroot
#   ZEM_ANDROID_ROOTFS   a runtime root holding system/bin/linker64 and
#                        system/lib64/{libc,libdl,libm,ld-android}.so
#
# CMake's own Android platform expects the NDK's layout around the sysroot, so
# this describes the build as a cross build for Linux and lets clang's target
# triple select bionic.
foreach(variable IN ITEMS ZEM_ANDROID_SYSROOT ZEM_ANDROID_ROOTFS)
  if(NOT ${variable})
    set(${variable} "$ENV{${variable}}")
  endif()
endforeach()
set(ZEM_ANDROID_API 21 CACHE STRING "The oldest Android API level the executable runs on")
# Compiler checks run in projects of their own; hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     ZEM_ANDROID_SYSROOT ZEM_ANDROID_ROOTFS ZEM_ANDROID_API)
# An error raised in a toolchain file is followed by CMake's own about the
# generator and the compilers, which it has not yet set up: the project
# checks the paths itself (cmake/android-paths.cmake), after its project()
# call and before it enables a language.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# Debian's clang, unless another is named, such as the NDK's for its newer
# headers: -DCMAKE_C_COMPILER=... -DCMAKE_CXX_COMPILER=...
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER clang)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang++)
endif()
set(CMAKE_C_COMPILER_TARGET aarch64-linux-android${ZEM_ANDROID_API})
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-android${ZEM_ANDROID_API})
set(CMAKE_SYSROOT "${ZEM_ANDROID_SYSROOT}")

# A libc function newer than that API level would be missing on the oldest
# devices: make its use a compile error, not a failure to start. The sysroot
# holds no C++ runtime, and the tool needs none. Debian's clang also names
# libgcc for Android, which NDKs since r23 no longer ship and the tool does
# not need either: the link takes libc alone, which bionic's start-up object
# needs.
include(${CMAKE_CURRENT_LIST_DIR}/rules.cmake)
zem_toolchain_rules(
  COMPILE -Werror=unguarded-availability
  LINK -fuse-ld=lld -nostdlib++ -nodefaultlibs
  LIBRARIES -lc)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -cpu max enforces BTI and PAC in an executable marked for them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu max -L "${ZEM_ANDROID_ROOTFS}")
