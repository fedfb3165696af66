# SPDX-License-Identifier: Apache-2.0
# kit_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV ...])
#
# A GoogleTest executable registered with ctest. Tests labelled "thread" are the
# threading tests: they are the ones built and run again under ThreadSanitizer
# (the "thread_tests" target collects them).
#
# With BUILD_TESTING off the executable is still declared, so that the lines after a
# kit_add_test() that set its definitions or dependencies hold, but it is left out of the
# build and registers no test: a distribution build compiles none of it and needs no GoogleTest.
if(NOT TARGET thread_tests)
  add_custom_target(thread_tests)
endif()

function(kit_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT BUILD_TESTING)
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kit_testing GTest::gtest GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(_props ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
  # gtest_discover_tests flattens a list-valued property, so an ENVIRONMENT of more than
  # one entry would reach the test as its first entry only: the test's own variables are
  # set by running it (and its discovery) through env(1) instead.
  if(T_ENV)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "env;${T_ENV}")
  endif()
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${_props})
  if("thread" IN_LIST T_LABELS)
    add_dependencies(thread_tests ${name})
  endif()
endfunction()
