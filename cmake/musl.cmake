# One static PIE against musl, which needs nothing of a machine but its
# kernel and which the kernel loads at a random address: Debian's clang and
# lld with the musl that Debian keeps beside its own C library, for the build
# machine (musl-dev) or, when a cross toolchain file has set
# CMAKE_SYSTEM_PROCESSOR before including this one, for that processor.
if(CMAKE_SYSTEM_PROCESSOR)
  set(musl_triple ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
else()
  set(musl_triple ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl)
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${musl_triple})
set(CMAKE_CXX_COMPILER_TARGET ${musl_triple})

# Debian keeps musl's headers and libraries beside its own, not in a
# sysroot: only musl's headers may be seen, and the tool uses no C++ ones.
# No C++ runtime is linked.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-rules.cmake)
zem_toolchain_rules(
  COMPILE -nostdinc -isystem /usr/include/${musl_triple}
  LINK -fuse-ld=lld -static-pie -nostdlib++
       -L/usr/lib/${musl_triple} -B/usr/lib/${musl_triple})
