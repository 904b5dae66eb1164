# zem_toolchain_rules([COMPILE flag...] [LINK flag...] [LIBRARIES library...])
#
# Writes a toolchain's flags into the rules that compile and link C and C++:
# COMPILE flags reach the compiles only, LINK flags the links only, ahead of
# the user's CMAKE_EXE_LINKER_FLAGS, and LIBRARIES end every link line. In
# CMAKE_<LANG>_FLAGS_INIT, flags would also reach every link, where the
# compiler driver warns about the ones it does not use, and a user's own
# -DCMAKE_<LANG>_FLAGS or -DCMAKE_EXE_LINKER_FLAGS would replace them. In
# CMAKE_<LANG>_STANDARD_LIBRARIES, libraries would be missing from the links
# of CMake's compiler checks, which empty that variable.
function(zem_toolchain_rules)
  cmake_parse_arguments(PARSE_ARGV 0 rule "" "" "COMPILE;LINK;LIBRARIES")
  list(JOIN rule_COMPILE " " compile)
  list(JOIN rule_LINK " " link)
  list(JOIN rule_LIBRARIES " " libraries)
  foreach(lang IN ITEMS C CXX)
    set(CMAKE_${lang}_COMPILE_OBJECT
        "<CMAKE_${lang}_COMPILER> <DEFINES> <INCLUDES> <FLAGS> ${compile} -o <OBJECT> -c <SOURCE>"
        PARENT_SCOPE)
    set(CMAKE_${lang}_LINK_EXECUTABLE
        "<CMAKE_${lang}_COMPILER> <FLAGS> <CMAKE_${lang}_LINK_FLAGS> ${link} <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${libraries}"
        PARENT_SCOPE)
  endforeach()
endfunction()
