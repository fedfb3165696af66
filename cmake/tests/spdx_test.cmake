# SPDX-License-Identifier: Apache-2.0
# Every source file of the kit carries the licence's SPDX line near its top, so that a file
# passed on alone still says under which terms.
#   cmake -DSOURCE=<the kit's folder> -P spdx_test.cmake
cmake_minimum_required(VERSION 3.25)
set(_tag "SPDX-License-Identifier: Apache-2.0")
# The top folders, less build folders (their generated sources are not ours) and hidden ones.
file(GLOB _tops LIST_DIRECTORIES true RELATIVE ${SOURCE} ${SOURCE}/*)
set(_files CMakeLists.txt Makefile .ci/run debian/rules)
foreach(top IN LISTS _tops)
  if(IS_DIRECTORY ${SOURCE}/${top} AND NOT top MATCHES "^(build|debian|docs|samples)")
    file(GLOB_RECURSE _in LIST_DIRECTORIES false RELATIVE ${SOURCE}
         ${SOURCE}/${top}/*.cpp ${SOURCE}/${top}/*.h ${SOURCE}/${top}/*.cmake
         ${SOURCE}/${top}/CMakeLists.txt)
    list(APPEND _files ${_in})
  endif()
endforeach()
file(GLOB _scripts LIST_DIRECTORIES false RELATIVE ${SOURCE} ${SOURCE}/scripts/*)
list(APPEND _files ${_scripts})
set(_missing "")
foreach(f IN LISTS _files)
  file(READ ${SOURCE}/${f} _head LIMIT 400)
  string(FIND "${_head}" "${_tag}" _at)
  if(_at EQUAL -1)
    list(APPEND _missing ${f})
  endif()
endforeach()
list(LENGTH _files _n)
if(_missing)
  list(JOIN _missing "\n  " _list)
  message(FATAL_ERROR "no \"${_tag}\" line near the top of:\n  ${_list}")
endif()
message(STATUS "${_n} source files, each with its SPDX line")
