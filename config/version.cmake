# Run at every build (cmake -P): writes the version header, touching it only
# when the text changes, so that a new commit rebuilds just its two users.
#   -DSOURCE_DIR= -DVERSION= -DGIT= -DIN= -DOUT=
set(VR_VERSION_TEXT "Velkaro_redi ${VERSION}")
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --tags --always --dirty
                  OUTPUT_VARIABLE described RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed AND described)
    string(APPEND VR_VERSION_TEXT " (${described})")
  endif()
endif()
configure_file("${IN}" "${OUT}" @ONLY)
