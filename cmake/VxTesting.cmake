find_package(GTest REQUIRED)
include(GoogleTest)

# Environment every test runs with: Qt's offscreen platform, and sanitizer settings that
# fail the test on any finding (leaks inside Qt and fontconfig are suppressed, ours are not).
set(VX_TEST_ENV
    "QT_QPA_PLATFORM=offscreen"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "VX_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "VX_BINARY_DIR=${PROJECT_BINARY_DIR}")

# vx_add_gtest(name SOURCES a.cpp b.cpp LIBS lib1 lib2)
# Builds one GoogleTest executable and registers each of its tests with ctest.
function(vx_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  # The environment goes in through a "cmake -E env" launcher: test discovery splits every
  # list handed to it as PROPERTIES, so an ENVIRONMENT list would keep only its first entry.
  # The launcher also gives the discovery run (--gtest_list_tests) the same environment.
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${VX_TEST_ENV}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()
