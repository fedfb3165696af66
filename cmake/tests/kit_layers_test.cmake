# SPDX-License-Identifier: Apache-2.0
# The layer check on a small tree of three programs' folders and a folder of test helpers: run as
#   cmake -DWORK=<empty folder> -P kit_layers_test.cmake
# It fails (FATAL_ERROR) when the check lets a forbidden include of any kind through (a path, a
# bare name on the include path, a relative path, angle brackets, a file placed in another layer,
# a test helper in a program), reports an allowed one, names the wrong line, or takes a rule that
# names no layer or a source folder that has no rule.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../KitLayers.cmake)

# Run again with -DTYPO=1: a rule naming a folder that is no layer, which must be refused.
if(TYPO)
  kit_layer(${WORK}/tree/lib)
  kit_layer(${WORK}/tree/one MAY_INCLUDE ${WORK}/tree/lib2)
  kit_layers_write_rules(${WORK}/typo.cmake ${WORK}/tree)
  return()
endif()

# Run again with -DLOOSE=1: a folder of sources with no layer, which must be refused. Build trees
# in the source tree and hidden folders are not read.
if(LOOSE)
  set(loose ${WORK}/loose)
  file(REMOVE_RECURSE ${loose})
  file(WRITE ${loose}/lib/modem.h "#pragma once\n")
  file(WRITE ${loose}/tools/gen.cpp "int main() {}\n")
  file(WRITE ${loose}/build/CMakeCache.txt "")
  file(WRITE ${loose}/build/moc_window.cpp "")
  file(WRITE ${loose}/build-new/CMakeFiles/CompilerId/CMakeCXXCompilerId.cpp "")
  file(WRITE ${loose}/.hidden/notes.cpp "")
  kit_layer(${loose}/lib)
  kit_layers_write_rules(${WORK}/loose.cmake ${loose})
  return()
endif()

set(top ${WORK}/tree)
file(REMOVE_RECURSE ${top})
function(write path)
  list(JOIN ARGN "\n" text)
  file(WRITE ${top}/${path} "${text}\n")
endfunction()

write(lib/modem.h "#pragma once")
write(lib/line.h "#include \"modem.h\"")
write(shared/temp_dir.h "#pragma once")  # a test helper
write(one/options.h "#pragma once")
write(one/main.cpp
  "// one's program"
  "#include \"lib/modem.h\""
  "#include \"two/decoder.h\""
  "#include <vector>"
  "  #  include \"decoder.h\"  // found under two/ all the same"
  "#include \"generated.h\""
  "#include \"shared/temp_dir.h\""
  "#include \"options.h\""
  "#include \"config.h\"  // one/sub is on one's include path"
  "#include <two/decoder.h>"
  "#include <lib/line.h>")
write(one/sub/config.h "#pragma once")
write(two/config.h "#pragma once")
write(one/tests/main_test.cpp "#include \"../main.cpp\"" "#include \"options.h\"" "#include \"shared/temp_dir.h\""
  "#include <temp_dir.h>")
write(two/decoder.h "#pragma once")
write(two/options.h "#pragma once")
write(two/tests/decoder_test.cpp "#include \"options.h\"" "#include \"decoder.h\"")
# Lives in two/ but belongs to one's layer.
write(two/one_part.cpp "#include \"one/options.h\"" "#include \"decoder.h\"")
write(lib/uses_one.h "" "#include \"../one/options.h\"")

kit_layer(${top}/lib)
kit_layer(${top}/one MAY_INCLUDE ${top}/lib FILES ${top}/two/one_part.cpp)
kit_layer(${top}/two MAY_INCLUDE ${top}/lib)
kit_layer(${top}/shared FOR_TESTS)
set(rules ${WORK}/rules.cmake)
kit_layers_write_rules(${rules} ${top})

function(check expect_ok)
  execute_process(COMMAND ${CMAKE_COMMAND} -DKIT_LAYERS_RULES=${rules} -P ${CMAKE_CURRENT_LIST_DIR}/../KitLayers.cmake
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect_ok AND NOT rc EQUAL 0)
    message(FATAL_ERROR "the check refused a clean tree:\n${out}")
  elseif(NOT expect_ok AND rc EQUAL 0)
    message(FATAL_ERROR "the check let forbidden includes through:\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

check(FALSE)
set(expected
  "one/main.cpp:3: #include \"two/decoder.h\" is in two; one may include lib"
  "one/main.cpp:5: #include \"decoder.h\" is in two; one may include lib"
  "one/main.cpp:7: #include \"shared/temp_dir.h\" is in shared; one may include lib (shared is for the files of tests/ folders)"
  "one/main.cpp:10: #include <two/decoder.h> is in two; one may include lib"
  "two/one_part.cpp:2: #include \"decoder.h\" is in two; one may include lib"
  "lib/uses_one.h:2: #include \"../one/options.h\" is in one; lib may include no other layer"
  "6 include(s) against the layers' rules")
foreach(line IN LISTS expected)
  string(FIND "${out}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing from the check's report: ${line}\nreport:\n${out}")
  endif()
endforeach()
# Nothing else is reported: not a bare name two folders share, a test including its program or a
# test helper, an allowed include in angle brackets, nor a header that is no file of the tree.
string(REGEX MATCHALL "[a-z_/]+\\.(cpp|h):[0-9]+:" reported "${out}")
list(LENGTH reported n)
if(NOT n EQUAL 6)
  message(FATAL_ERROR "the check reported ${n} includes, not 6:\n${out}")
endif()

# The same tree with the forbidden includes gone passes.
write(one/main.cpp "#include \"lib/modem.h\"" "#include \"options.h\"")
write(two/one_part.cpp "#include \"one/options.h\"")
write(lib/uses_one.h "#include \"modem.h\"")
check(TRUE)

execute_process(COMMAND ${CMAKE_COMMAND} -DWORK=${WORK} -DTYPO=1 -P ${CMAKE_CURRENT_LIST_FILE}
                RESULT_VARIABLE rc ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "/tree/lib2[ \n]+is[ \n]+not[ \n]+a[ \n]+layer")
  message(FATAL_ERROR "a MAY_INCLUDE of no layer was taken:\n${out}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -DWORK=${WORK} -DLOOSE=1 -P ${CMAKE_CURRENT_LIST_FILE}
                RESULT_VARIABLE rc ERROR_VARIABLE out)
if(rc EQUAL 0 OR NOT out MATCHES "in no layer" OR NOT out MATCHES "tools/gen.cpp")
  message(FATAL_ERROR "a folder of sources with no layer was taken:\n${out}")
endif()
if(out MATCHES "moc_window|CompilerId|notes.cpp")
  message(FATAL_ERROR "a build tree or a hidden folder was read as sources:\n${out}")
endif()
message(STATUS "kit_layers_test: the forbidden includes were named, the allowed ones passed")
