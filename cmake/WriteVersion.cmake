# Writes the program's version text into OUTPUT: the project version and, when the source is a
# git checkout with git at hand, the revision ("0.1 (git 2ed7e7f)", "-dirty" with local changes).
# Runs at every build; the file is rewritten only when the text changes, so nothing is rebuilt
# needlessly.
set(text "${VERSION}")
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM)
  execute_process(
    COMMAND "${GIT_PROGRAM}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12 --match none
    OUTPUT_VARIABLE revision
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE failed
    ERROR_QUIET)
  if(NOT failed AND revision)
    set(text "${VERSION} (git ${revision})")
  endif()
endif()
set(content "// Written by cmake/WriteVersion.cmake at build time.\n#include \"app/cli/version.h\"\n\nconst char* ProgramVersion() {\n  return \"${text}\";\n}\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
