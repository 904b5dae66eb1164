# One static PIE against musl, which needs nothing of a machine but its
# kernel and which the kernel loads at a random address: Debian's clang and
# lld with the musl that Debian keeps beside its own C library, for the build
# machine (musl-dev) or, when a cross toolchain file has set
# CMAKE_SYSTEM_PROCESSOR before including this one, for that processor.
if(CMAKE_SYSTEM_PROCESSOR)
  set(processor ${CMAKE_SYSTEM_PROCESSOR})
else()
  set(processor ${CMAKE_HOST_SYSTEM_PROCESSOR})
endif()
set(musl_triple ${processor}-linux-musl)
set(musl_lib /usr/lib/${musl_triple})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${musl_triple})
set(CMAKE_CXX_COMPILER_TARGET ${musl_triple})
# The target's own strip, for `cmake --install --strip`: the build machine's
# cannot read another processor's executables.
find_program(CMAKE_STRIP NAMES ${processor}-linux-gnu-strip llvm-strip)

# musl brings its own start files; GCC's crtbeginS.o and crtendS.o and its
# runtime library, libgcc (musl's printf needs its 128-bit arithmetic on
# arm64), come from Debian's GCC for the processor, named here rather than
# left for clang to discover: not every clang looks for a GCC installation
# under another target's name.
set(gcc ${processor}-linux-gnu-gcc)
execute_process(COMMAND ${gcc} -print-libgcc-file-name
                OUTPUT_VARIABLE libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR NOT EXISTS "${libgcc}")
  message(FATAL_ERROR "No ${gcc} to give libgcc and its start files: install "
                      "Debian's package gcc-${processor}-linux-gnu")
endif()
get_filename_component(gcc_lib "${libgcc}" DIRECTORY)

# Debian keeps musl's headers and libraries beside its own, not in a
# sysroot: only musl's headers may be seen, and the tool uses no C++ ones.
# No C++ runtime is linked.
include(${CMAKE_CURRENT_LIST_DIR}/rules.cmake)
zem_toolchain_rules(
  COMPILE -nostdinc -isystem /usr/include/${musl_triple}
  LINK -fuse-ld=lld -static-pie -nostdlib
       ${musl_lib}/rcrt1.o ${musl_lib}/crti.o ${gcc_lib}/crtbeginS.o
  LIBRARIES -L${musl_lib} -Wl,--start-group -lc ${libgcc} -Wl,--end-group
            ${gcc_lib}/crtendS.o ${musl_lib}/crtn.o)
