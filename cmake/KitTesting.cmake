# SPDX-License-Identifier: Apache-2.0
# kit_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV ...])
#
# A GoogleTest executable registered with ctest, one ctest test per test case. Labels:
#   thread    the test uses threads: it is built and run again under ThreadSanitizer (the
#             "thread_tests" target collects them; the ThreadSanitizer tree registers no other);
#   realtime  the test mostly waits on real time (a pty's pace, a call's turns, tones at 45.45
#             baud, timeouts) rather than working: `make test` runs such tests many at a time.
# Every other test holds one "cpu" slot of the resource description that `make test` gives ctest
# (cmake/ctest-all-trees.sh), so that no more of them run at once than there are cores, while the
# waiting ones run beside them. Without a resource description (a plain `ctest -j N`) the slots are not
# counted.
#
# In the sanitizer trees the tests' names start with the tree's KIT_TEST_PREFIX ("asan." or
# "tsan."): `make test` runs the trees' tests together in one ctest run.
#
# With BUILD_TESTING off the executable is still declared, so that the lines after a
# kit_add_test() that set its definitions or dependencies hold, but it is left out of the
# build and registers no test: a distribution build compiles none of it and needs no GoogleTest.
if(NOT TARGET thread_tests)
  add_custom_target(thread_tests)
endif()

# The GoogleTest headers (and, for the window's tests, Qt's) compiled once per tree and reused by
# every test. Off by default when the compiler runs through ccache, which caches no unit that uses
# a precompiled header (and caches more than one saves).
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(_kit_pch_default OFF)
else()
  set(_kit_pch_default ON)
endif()
option(KIT_PCH "Precompile the GoogleTest and Qt headers the tests include" ${_kit_pch_default})
set(_kit_pch_gtest <gtest/gtest.h> <gmock/gmock.h> <functional> <map> <memory> <optional> <string>
                   <vector>)
set(_kit_pch_qt <QApplication> <QCheckBox> <QCoreApplication> <QLabel> <QLineEdit> <QObject>
                <QPlainTextEdit> <QPushButton> <QRadioButton> <QString> <QTabWidget> <QTimer> <QWidget>)

# A library with one empty unit that compiles the headers, linking what the tests that reuse them
# link, so that its compile flags are theirs (a header compiled with other flags is not used).
function(_kit_pch_library name)
  if(TARGET ${name})
    return()
  endif()
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/kit_pch/pch.cpp CONTENT "// The precompiled headers' own unit.\n")
  add_library(${name} STATIC EXCLUDE_FROM_ALL ${CMAKE_BINARY_DIR}/kit_pch/pch.cpp)
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES AUTOMOC OFF)
endfunction()

if(BUILD_TESTING AND KIT_PCH)
  _kit_pch_library(kit_pch_gtest)
  target_precompile_headers(kit_pch_gtest PRIVATE ${_kit_pch_gtest})
endif()

# kit_qt_test_pch(): the precompiled headers of the tests that link Qt's widgets; called once Qt
# has been found, before those tests.
function(kit_qt_test_pch)
  if(NOT BUILD_TESTING OR NOT KIT_PCH OR TARGET kit_pch_qt)
    return()
  endif()
  _kit_pch_library(kit_pch_qt Qt6::Widgets)
  target_precompile_headers(kit_pch_qt PRIVATE ${_kit_pch_gtest} ${_kit_pch_qt})
endfunction()

# kit_qt_pch(<target>...): the window's own libraries reuse Qt's widget headers compiled once, in
# the development trees (the distribution's build compiles them as they are).
function(kit_qt_pch)
  if(NOT BUILD_TESTING OR NOT KIT_PCH)
    return()
  endif()
  if(NOT TARGET kit_pch_qtlib)
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/kit_pch/pch.cpp CONTENT "// The precompiled headers' own unit.\n")
    add_library(kit_pch_qtlib STATIC EXCLUDE_FROM_ALL ${CMAKE_BINARY_DIR}/kit_pch/pch.cpp)
    target_link_libraries(kit_pch_qtlib PRIVATE Qt6::Widgets)
    set_target_properties(kit_pch_qtlib PROPERTIES AUTOMOC OFF)
    target_precompile_headers(kit_pch_qtlib PRIVATE ${_kit_pch_qt} <QFrame> <QGroupBox> <QComboBox>
                              <QListWidget> <string> <vector>)
  endif()
  foreach(t IN LISTS ARGN)
    if(TARGET ${t})
      target_precompile_headers(${t} REUSE_FROM kit_pch_qtlib)
      get_target_property(_bin ${t} BINARY_DIR)
      set_source_files_properties(${_bin}/${t}_autogen/mocs_compilation.cpp
                                  TARGET_DIRECTORY ${t} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
endfunction()

# kit_test_pch(<target>): the target reuses the precompiled headers that fit what it links.
function(kit_test_pch name)
  if(NOT BUILD_TESTING OR NOT KIT_PCH)
    return()
  endif()
  get_target_property(_libs ${name} LINK_LIBRARIES)
  set(_pch kit_pch_gtest)
  foreach(l IN LISTS _libs)
    if(l MATCHES "^(Qt6::Widgets|corvalis_mainform|corvalis_call_view)$")
      set(_pch kit_pch_qt)
      break()
    elseif(l MATCHES "^(Qt6::|corvalis_serial_qt$)")
      # Qt's core alone makes the code position-independent, unlike the headers compiled for
      # the plain tests, and brings no widgets: no precompiled headers fit.
      set(_pch "")
    endif()
  endforeach()
  if(_pch AND TARGET ${_pch})
    target_precompile_headers(${name} REUSE_FROM ${_pch})
    # GCC 12 loses the system-header mark of the standard library's code inlined from a
    # precompiled header, and then reports its known false bounds and overflow warnings in
    # std::string's operator+ as the test's own. (The sanitizer trees check the tests' bounds
    # as they run.)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${name} PRIVATE -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread
                                             -Wno-restrict)
    endif()
  endif()
endfunction()

function(kit_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT BUILD_TESTING OR (KIT_TSAN AND NOT "thread" IN_LIST T_LABELS))
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kit_testing GTest::gtest GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # A guard against a hang, long enough for a test that works on a busy machine: the sanitizers
  # make the code several times slower.
  if(SANITIZE)
    set(_timeout 600)
  else()
    set(_timeout 300)
  endif()
  set(_props ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${_timeout})
  # gtest_discover_tests flattens a list-valued property, so an ENVIRONMENT of more than
  # one entry would reach the test as its first entry only: the test's own variables are
  # set by running it (and its discovery) through env(1) instead.
  if(T_ENV)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "env;${T_ENV}")
  endif()
  if(T_LABELS)
    list(APPEND _props LABELS "${T_LABELS}")
  endif()
  if(NOT "realtime" IN_LIST T_LABELS)
    list(APPEND _props RESOURCE_GROUPS "cpu:1")
  endif()
  gtest_discover_tests(${name}
    TEST_PREFIX "${KIT_TEST_PREFIX}"
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${_props})
  if("thread" IN_LIST T_LABELS)
    add_dependencies(thread_tests ${name})
  endif()
  # After the LIBS: which precompiled headers fit depends on them.
  kit_test_pch(${name})
  # A test's own code is compiled with light optimisation: the code it tests is compiled as the
  # build type says, and most of a test unit is its expanded assertions, where -O2 costs a third
  # more compiling for nothing the test needs.
  target_compile_options(${name} PRIVATE $<$<NOT:$<CONFIG:Debug>>:-O1>)
  # Qt's moc unit of a test holds nothing (the tests declare no QObject): it needs no headers.
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${name}_autogen/mocs_compilation.cpp
                              PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
endfunction()
