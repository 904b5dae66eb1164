# zem_hardening(TARGET)
#
# Gives the INTERFACE library TARGET the hardening of Debian's dpkg-buildflags
# and of the OpenSSF compiler-options guide, each flag only where this
# compiler takes it for this target: one it does not take would be a warning,
# and under CI an error. Sets in the caller:
#   ZEM_CONTROL_FLOW_FLAG  the flag that marks objects for the processor's
#                          control-flow protection (BTI and PAC, or IBT and
#                          SHSTK), empty where the compiler has none
#   ZEM_LIBC_FORTIFIED     whether the C library has a fortify layer that
#                          the tool's calls reach (glibc's)
function(zem_hardening target)
  include(CheckCXXCompilerFlag)
  include(CheckCXXSourceCompiles)
  include(CheckLinkerFlag)
  if(ZEM_ARM64)
    set(control_flow -mbranch-protection=standard)
  else()
    set(control_flow -fcf-protection=full)
  endif()
  # Compile-only probes, with warnings as errors: clang 14 calls
  # -fstack-clash-protection unused when it compiles for arm64, a warning
  # that CMake's own patterns miss for C++.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(CMAKE_REQUIRED_FLAGS -Werror)
  set(taken)
  foreach(flag IN ITEMS -fstack-protector-strong -fstack-clash-protection
                        ${control_flow} -fstrict-flex-arrays=3
                        -ftrivial-auto-var-init=zero)
    string(MAKE_C_IDENTIFIER "ZEM_CXX_TAKES${flag}" taken_here)
    check_cxx_compiler_flag(${flag} ${taken_here})
    if(${taken_here})
      list(APPEND taken ${flag})
    endif()
  endforeach()
  if(NOT control_flow IN_LIST taken)
    set(control_flow)
  endif()

  # musl has no fortify layer; bionic's has none for what the tool calls
  # below API 24, but takes the definition all the same. Fortifying needs
  # the optimiser, and glibc warns without it: Debug builds go without.
  check_cxx_source_compiles([[
    #include <stdio.h>
    #if !defined(__GLIBC__) && !defined(__BIONIC__)
    #error no fortify layer
    #endif
    int main() { return 0; }]] ZEM_LIBC_HAS_FORTIFY)
  check_cxx_source_compiles([[
    #include <stdio.h>
    #ifndef __GLIBC__
    #error not glibc
    #endif
    int main() { return 0; }]] ZEM_LIBC_IS_GLIBC)
  set(fortify OFF)
  if(ZEM_LIBC_HAS_FORTIFY AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(fortify ON)
    list(APPEND taken -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
  endif()
  target_compile_options(${target} INTERFACE ${taken})

  set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
  set(CMAKE_REQUIRED_FLAGS)
  check_linker_flag(CXX LINKER:-z,noexecstack ZEM_LINKER_TAKES_noexecstack)
  if(ZEM_LINKER_TAKES_noexecstack)
    target_link_options(${target} INTERFACE LINKER:-z,noexecstack)
  endif()

  set(ZEM_CONTROL_FLOW_FLAG "${control_flow}" PARENT_SCOPE)
  if(fortify AND ZEM_LIBC_IS_GLIBC)
    set(ZEM_LIBC_FORTIFIED ON PARENT_SCOPE)
  else()
    set(ZEM_LIBC_FORTIFIED OFF PARENT_SCOPE)
  endif()
endfunction()
