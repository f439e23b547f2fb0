# Writes OUT from TEMPLATE with the package version, the directories passed
# in and the git commit of SOURCE_DIR (empty when it is not the top of a git
# checkout).  Run at every build so that a new commit is picked up without
# configuring again; OUT is rewritten only when its text changes, so that
# nothing is recompiled otherwise.
set(CDSEC_COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" src)
  endif()
  if(rc EQUAL 0 AND top STREQUAL src)
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                    OUTPUT_VARIABLE CDSEC_COMMIT RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT rc EQUAL 0)
      set(CDSEC_COMMIT "")
    else()
      execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE changes RESULT_VARIABLE rc ERROR_QUIET)
      if(rc EQUAL 0 AND NOT changes STREQUAL "")
        string(APPEND CDSEC_COMMIT "-modified")
      endif()
    endif()
  endif()
endif()
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
