# Read by CPack as it makes each package. The packages' times are those of
# the last commit, unless SOURCE_DATE_EPOCH says otherwise, so that the same
# sources give the same bytes wherever and whenever they are packed.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY "${CPACK_ZEM_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()

# A Debian package declares no dependency, which is right only for a static
# PIE: no other build makes one.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_ZEM_DEBIAN_PACKAGE)
  message(FATAL_ERROR "No Debian package: this build's executable is not a static PIE")
endif()

# CPack tells of a package with no Depends as of an oversight; this one
# depends on nothing by design, and says so nowhere else.
if(CPACK_GENERATOR STREQUAL "DEB")
  function(message mode)
    if(NOT ARGV1 MATCHES "^CPACK_DEBIAN_PACKAGE_DEPENDS not set")
      _message(${mode} ${ARGN})
    endif()
  endfunction()
endif()

# The archive holds what `cmake --install` lays out; the Debian package
# holds the page, the documents and zsh's completion as Debian lays them
# out instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(components Unspecified deb)
else()
  set(components Unspecified prefix)
endif()
list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build)
set(CPACK_INSTALL_CMAKE_PROJECTS)
foreach(component IN LISTS components)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${build} zem_dma_test ${component} /)
endforeach()
