# Writes the man page OUTPUT (gzip-compressed) from the --help of PROGRAM with help2man.
# The program is run by its bare name from its own folder on PATH, so the page's synopsis
# names it as a user types it rather than by its build path.
get_filename_component(folder "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME)
set(ENV{PATH} "${folder}:$ENV{PATH}")
# A sanitizer build's leak check has nothing to say about --help; its report would end up in
# the page.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")
execute_process(
  COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --section=1
          "--version-string=${VERSION}" "--name=${DESCRIPTION}" "--output=${OUTPUT}.tmp" "${name}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man could not write the page of ${name}")
endif()
execute_process(COMMAND gzip -9nf "${OUTPUT}.tmp" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress the page of ${name}")
endif()
file(RENAME "${OUTPUT}.tmp.gz" "${OUTPUT}")
