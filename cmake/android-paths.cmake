# Checks the API level and the two directories that
# aarch64-linux-android.cmake reads, once per configure and before any
# compiler is tried, so that a wrong one is named plainly rather than by a
# failing compiler check. A directory that passes is kept in the cache; one
# that fails is dropped from it, so that the next configure reads the
# environment again.
# A function, so that its variables stay its own.
function(zem_check_android_paths)
  set(problems)
  foreach(variable IN ITEMS ZEM_ANDROID_SYSROOT ZEM_ANDROID_ROOTFS)
    if(variable STREQUAL "ZEM_ANDROID_SYSROOT")
      set(needs usr/include/stdio.h usr/lib/aarch64-linux-android)
      set(what "bionic's sysroot in the NDK's layout")
    else()
      set(needs system/bin/linker64)
      set(what "a runtime root pulled from a device")
    endif()
    set(path "${${variable}}")
    set(problem)
    if(path STREQUAL "")
      set(problem "is not set")
    elseif(NOT IS_ABSOLUTE "${path}" OR NOT IS_DIRECTORY "${path}")
      set(problem "is '${path}', which is not a directory's absolute path")
    else()
      foreach(need IN LISTS needs)
        if(NOT EXISTS "${path}/${need}")
          set(problem "is '${path}', which has no ${need}")
          break()
        endif()
      endforeach()
    endif()
    if(problem)
      unset(${variable} CACHE)
      list(JOIN needs " and " holding)
      string(APPEND problems "${variable} ${problem}. It must name ${what}, "
        "holding ${holding}, by its absolute path: set it in the environment "
        "or with -D${variable}=PATH.\n")
      continue()
    endif()
    set(${variable} "${path}" CACHE PATH "Set by -D${variable}=PATH or the environment" FORCE)
    # A device makes this file at boot; in a root pulled from one, an empty
    # file serves.
    if(variable STREQUAL "ZEM_ANDROID_ROOTFS" AND NOT EXISTS "${path}/linkerconfig/ld.config.txt")
      message(STATUS "ZEM_ANDROID_ROOTFS has no linkerconfig/ld.config.txt: from Android 11 on, the linker warns without it on every run; an empty file serves")
    endif()
    if(DEFINED ENV{${variable}} AND NOT "$ENV{${variable}}" STREQUAL "${path}")
      message(WARNING "${variable} is '${path}' in this build's cache, but "
        "'$ENV{${variable}}' in the environment; the cached one is used. "
        "Give -D${variable}=PATH to change it.")
    endif()
  endforeach()
  if(NOT ZEM_ANDROID_API MATCHES "^[0-9]+$" OR ZEM_ANDROID_API LESS 21)
    string(APPEND problems "ZEM_ANDROID_API is '${ZEM_ANDROID_API}'. It must be an "
      "Android API level, 21 or above: 64-bit Arm starts at 21.\n")
  endif()
  if(problems)
    message(FATAL_ERROR "${problems}")
  endif()
endfunction()
zem_check_android_paths()
