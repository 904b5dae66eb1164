# Read by CPack as it makes an archive. The archive's times are those of the
# last commit, unless SOURCE_DATE_EPOCH says otherwise, so that the same
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
