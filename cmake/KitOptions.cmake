# SPDX-License-Identifier: Apache-2.0
# Warnings are errors everywhere in our own code unless KIT_WERROR is off.
add_compile_options(-Wall -Wextra -Wpedantic)
if(KIT_WERROR)
  add_compile_options(-Werror)
endif()

if(SANITIZE)
  set(_san_flags "")
  foreach(s IN LISTS SANITIZE)
    list(APPEND _san_flags "-fsanitize=${s}")
  endforeach()
  # -O1, as the sanitizers' own documentation suggests: their checks are as thorough, and the
  # instrumented code compiles in about two thirds of the time -O2 takes.
  add_compile_options(${_san_flags} -fno-omit-frame-pointer -fno-sanitize-recover=all
                      $<$<NOT:$<CONFIG:Debug>>:-O1>)
  add_link_options(${_san_flags})
endif()

if(SANITIZE STREQUAL "thread")
  set(KIT_TSAN ON)
else()
  set(KIT_TSAN OFF)
endif()

# The sanitizer trees' tests are named with the tree's prefix, so that one ctest run can hold the
# tests of every tree (`make test`) and a failure names the tree it failed in.
if(KIT_TSAN)
  set(KIT_TEST_PREFIX "tsan.")
elseif(SANITIZE)
  set(KIT_TEST_PREFIX "asan.")
else()
  set(KIT_TEST_PREFIX "")
endif()

# The development trees (BUILD_TESTING) keep line tables only (-g1): backtraces and the
# sanitizers' reports still name file and line, and compiling and linking take about half the
# time that full debug information costs. KIT_FULL_DEBUG_INFO=ON keeps the build type's -g, for
# stepping through a tree in a debugger.
option(KIT_FULL_DEBUG_INFO "Full debug information in the development trees" OFF)
if(BUILD_TESTING AND NOT KIT_FULL_DEBUG_INFO AND CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Debug)$")
  add_compile_options(-g1)
endif()
