# Script mode: writes OUTPUT from TEMPLATE with VERSION and, when SOURCE_DIR
# is a git checkout, the `git describe` text.
set(DOR_VERSION "${VERSION}")
set(DOR_VERSION_TEXT "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --always --dirty
    OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed
    ERROR_QUIET)
  if(NOT failed AND described)
    set(DOR_VERSION_TEXT "${VERSION} (git ${described})")
  endif()
endif()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
