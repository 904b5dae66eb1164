# Static executables against musl, from Debian's musl-tools. musl-gcc is the
# gcc driver with musl's headers and start-up files; it compiles C++ too and,
# being the C driver, links no C++ runtime, which the tool does not use.
set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER musl-gcc)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
