# Puts FLAGS into the link rule of C and C++ executables, ahead of the flags
# in CMAKE_EXE_LINKER_FLAGS. Flags a toolchain cannot do without stay there
# when a user gives link flags of their own, which would replace them in
# CMAKE_EXE_LINKER_FLAGS_INIT.
function(zem_toolchain_link_flags)
  list(JOIN ARGN " " flags)
  foreach(lang IN ITEMS C CXX)
    set(CMAKE_${lang}_LINK_EXECUTABLE
        "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> ${flags} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>"
        PARENT_SCOPE)
  endforeach()
endfunction()
