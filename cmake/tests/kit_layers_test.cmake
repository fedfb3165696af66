# SPDX-License-Identifier: Apache-2.0
# The layer check on a small tree of three programs' folders: run as
#   cmake -DWORK=<empty folder> -P kit_layers_test.cmake
# It fails (FATAL_ERROR) when the check lets a forbidden include through, reports an allowed one, or
# names the wrong line.
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../KitLayers.cmake)

# Run again with -DTYPO=1: a rule naming a folder that is no layer, which must be refused.
if(TYPO)
  kit_layer(${WORK}/tree/lib)
  kit_layer(${WORK}/tree/one MAY_INCLUDE ${WORK}/tree/lib2)
  kit_layers_write_rules(${WORK}/typo.cmake ${WORK}/tree)
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
write(shared/temp_dir.h "#pragma once")
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
  "#include \"config.h\"  // one/sub is on one's include path")
write(one/sub/config.h "#pragma once")
write(two/config.h "#pragma once")
write(one/tests/main_test.cpp "#include \"../main.cpp\"" "#include \"options.h\"")
write(two/decoder.h "#pragma once")
write(two/options.h "#pragma once")
write(two/tests/decoder_test.cpp "#include \"options.h\"" "#include \"decoder.h\"")
# Lives in two/ but belongs to one's layer.
write(two/one_part.cpp "#include \"one/options.h\"" "#include \"decoder.h\"")
write(lib/uses_one.h "" "#include \"../one/options.h\"")

kit_layer(${top}/lib)
kit_layer(${top}/one MAY_INCLUDE ${top}/lib FILES ${top}/two/one_part.cpp)
kit_layer(${top}/two MAY_INCLUDE ${top}/lib)
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
  "two/one_part.cpp:2: #include \"decoder.h\" is in two; one may include lib"
  "lib/uses_one.h:2: #include \"../one/options.h\" is in one; lib may include no other layer"
  "4 include(s) against the layers' rules")
foreach(line IN LISTS expected)
  string(FIND "${out}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing from the check's report: ${line}\nreport:\n${out}")
  endif()
endforeach()
# Nothing else is reported: not a bare name two folders share, a test including its program, a
# folder that is no layer (shared/), nor a header that is no file of the tree.
string(REGEX MATCHALL "[a-z_/]+\\.(cpp|h):[0-9]+:" reported "${out}")
list(LENGTH reported n)
if(NOT n EQUAL 4)
  message(FATAL_ERROR "the check reported ${n} includes, not 4:\n${out}")
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
message(STATUS "kit_layers_test: the forbidden includes were named, the allowed ones passed")
