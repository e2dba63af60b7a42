# Warnings and include root shared by every target of the project. Warnings stop the build only
# where asked (the presets developers and CI use): a plain build of any type still builds when a
# compiler reports a false warning at some optimisation level, and shows the warning.
add_library(corvanta_defaults INTERFACE)
target_compile_options(corvanta_defaults INTERFACE -Wall -Wextra -Wpedantic
  $<$<BOOL:${CORVANTA_WARNINGS_AS_ERRORS}>:-Werror>)
target_include_directories(corvanta_defaults INTERFACE "${PROJECT_SOURCE_DIR}")

# corvanta_library(NAME SOURCES ... [DEPENDS ...])
function(corvanta_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC corvanta_defaults ${ARG_DEPENDS})
endfunction()

# corvanta_test(NAME SOURCES ... [DEPENDS ...]): one GoogleTest program, its cases listed to CTest.
function(corvanta_test name)
  if(NOT CORVANTA_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvanta_defaults ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endfunction()

# corvanta_fuzzer(NAME SOURCES ... [DEPENDS ...]): a libFuzzer target, built by the fuzz preset only.
function(corvanta_fuzzer name)
  if(NOT CORVANTA_BUILD_FUZZERS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvanta_defaults ${ARG_DEPENDS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY CORVANTA_FUZZERS ${name})
endfunction()
