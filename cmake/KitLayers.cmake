# SPDX-License-Identifier: Apache-2.0
# Layers: which folders the sources of a folder may include from, checked by the build.
#
#   kit_layer(<folder> [MAY_INCLUDE <folder>...] [FILES <file>...])
#
# makes <folder> (relative to the current source folder, or absolute) a layer. A source file in it,
# or in a folder below it that is not a layer of its own, may include files of its own layer, of
# the layers named in MAY_INCLUDE, and of folders that are in no layer (testing/, system headers).
# FILES puts files that live in another folder into this layer.
#
#   kit_layers_check()
#
# once, after every kit_layer(): the build then reads every `#include "..."` of the layers' files
# whenever one of them changes, and fails on a forbidden one, naming the file, the line and the
# rule.
#
# An include is looked up as the compiler would: beside the including file, then under the
# project's folder, each layer's folder and each layer's parent folder. It is forbidden when each
# file it can name is in a layer the including file may not include, and no file of its own layer
# or of one it may include ends in that name (one of their subfolders may be on the include path).
# A name that two folders share is therefore taken as the allowed one, and a name that names no
# file of the tree (a system or a generated header) is not checked.
#
# Run as a script (cmake -DKIT_LAYERS_RULES=<file> -P KitLayers.cmake) it does the check on the
# rules that kit_layers_write_rules() wrote.

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()
set(_KIT_LAYERS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
set(_KIT_LAYERS_SOURCES *.h *.hh *.hpp *.c *.cc *.cpp *.cxx *.inl)

function(kit_layer folder)
  cmake_parse_arguments(L "" "" "MAY_INCLUDE;FILES" ${ARGN})
  if(L_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kit_layer(${folder}): unknown arguments ${L_UNPARSED_ARGUMENTS}")
  endif()
  foreach(_var folder L_MAY_INCLUDE L_FILES)
    set(_abs "")
    foreach(p IN LISTS ${_var})
      cmake_path(ABSOLUTE_PATH p BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
      string(REGEX REPLACE "/$" "" p "${p}")
      list(APPEND _abs "${p}")
    endforeach()
    set(${_var} "${_abs}")
  endforeach()
  get_property(_n GLOBAL PROPERTY KIT_LAYER_COUNT)
  if(NOT _n)
    set(_n 0)
  endif()
  foreach(i RANGE ${_n})
    get_property(_dir GLOBAL PROPERTY KIT_LAYER_${i}_DIR)
    if(_dir STREQUAL folder)
      message(FATAL_ERROR "kit_layer(${folder}): the folder is a layer already")
    endif()
  endforeach()
  set_property(GLOBAL PROPERTY KIT_LAYER_${_n}_DIR "${folder}")
  set_property(GLOBAL PROPERTY KIT_LAYER_${_n}_ALLOW "${L_MAY_INCLUDE}")
  set_property(GLOBAL PROPERTY KIT_LAYER_${_n}_FILES "${L_FILES}")
  math(EXPR _n "${_n} + 1")
  set_property(GLOBAL PROPERTY KIT_LAYER_COUNT ${_n})
endfunction()

# Writes the layers declared so far to <file> (rewritten only when they change), with <top> the
# folder that messages name files relative to. A MAY_INCLUDE that names no layer, or a FILES entry
# that is no file, is an error here.
function(kit_layers_write_rules file top)
  get_property(_n GLOBAL PROPERTY KIT_LAYER_COUNT)
  if(NOT _n)
    message(FATAL_ERROR "kit_layers: no kit_layer() was declared")
  endif()
  math(EXPR _last "${_n} - 1")
  set(_dirs "")
  foreach(i RANGE ${_last})
    get_property(_dir GLOBAL PROPERTY KIT_LAYER_${i}_DIR)
    list(APPEND _dirs "${_dir}")
  endforeach()
  set(_text "set(KIT_LAYERS_TOP [==[${top}]==])\nset(KIT_LAYER_COUNT ${_n})\n")
  foreach(i RANGE ${_last})
    get_property(_dir GLOBAL PROPERTY KIT_LAYER_${i}_DIR)
    get_property(_allow GLOBAL PROPERTY KIT_LAYER_${i}_ALLOW)
    get_property(_files GLOBAL PROPERTY KIT_LAYER_${i}_FILES)
    foreach(a IN LISTS _allow)
      if(NOT a IN_LIST _dirs)
        message(FATAL_ERROR "kit_layer(${_dir}): MAY_INCLUDE ${a} is not a layer")
      endif()
    endforeach()
    foreach(f IN LISTS _files)
      if(NOT EXISTS "${f}" OR IS_DIRECTORY "${f}")
        message(FATAL_ERROR "kit_layer(${_dir}): FILES ${f} is not a file")
      endif()
    endforeach()
    string(APPEND _text "set(KIT_LAYER_${i}_DIR [==[${_dir}]==])\n"
                        "set(KIT_LAYER_${i}_ALLOW [==[${_allow}]==])\n"
                        "set(KIT_LAYER_${i}_FILES [==[${_files}]==])\n")
  endforeach()
  file(CONFIGURE OUTPUT ${file} CONTENT "${_text}" @ONLY)
endfunction()

function(kit_layers_check)
  set(_rules ${CMAKE_BINARY_DIR}/kit_layers_rules.cmake)
  set(_stamp ${CMAKE_BINARY_DIR}/kit_layers.stamp)
  kit_layers_write_rules(${_rules} ${CMAKE_SOURCE_DIR})
  # The files the check reads at configure time: an edit of one makes it run again. A new file is
  # read by the check itself; it comes to be compiled through a CMakeLists.txt (which configures
  # again) or included from a file that was edited. (No CONFIGURE_DEPENDS: a dry run of the
  # build would stop at checking the globs.)
  get_property(_n GLOBAL PROPERTY KIT_LAYER_COUNT)
  math(EXPR _last "${_n} - 1")
  set(_inputs "")
  foreach(i RANGE ${_last})
    get_property(_dir GLOBAL PROPERTY KIT_LAYER_${i}_DIR)
    get_property(_files GLOBAL PROPERTY KIT_LAYER_${i}_FILES)
    list(TRANSFORM _KIT_LAYERS_SOURCES PREPEND "${_dir}/" OUTPUT_VARIABLE _patterns)
    file(GLOB_RECURSE _found ${_patterns})
    list(APPEND _inputs ${_found} ${_files})
  endforeach()
  list(REMOVE_DUPLICATES _inputs)
  add_custom_command(OUTPUT ${_stamp}
    COMMAND ${CMAKE_COMMAND} -DKIT_LAYERS_RULES=${_rules} -P ${_KIT_LAYERS_SCRIPT}
    COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
    DEPENDS ${_inputs} ${_rules} ${_KIT_LAYERS_SCRIPT}
    COMMENT "Checking which layers each folder includes from"
    VERBATIM)
  add_custom_target(kit_layers ALL DEPENDS ${_stamp})
endfunction()

# The check itself (script mode). Layers are the KIT_LAYER_<i>_* variables of the rules file.

# The index of the layer a file is in, or -1.
function(_kit_layer_of path out)
  set(_best -1)
  set(_best_len 0)
  foreach(i RANGE ${_kit_last})
    if(path IN_LIST KIT_LAYER_${i}_FILES)
      set(${out} ${i} PARENT_SCOPE)
      return()
    endif()
    string(LENGTH "${KIT_LAYER_${i}_DIR}/" _len)
    string(SUBSTRING "${path}" 0 ${_len} _head)
    if(_head STREQUAL "${KIT_LAYER_${i}_DIR}/" AND _len GREATER _best_len)
      set(_best ${i})
      set(_best_len ${_len})
    endif()
  endforeach()
  set(${out} ${_best} PARENT_SCOPE)
endfunction()

# The line number at which a line of text first stands in a file.
function(_kit_line_of file line out)
  file(READ "${file}" _text)
  string(FIND "\n${_text}" "\n${line}" _pos)
  string(SUBSTRING "${_text}" 0 ${_pos} _before)
  string(REGEX REPLACE "[^\n]" "" _breaks "${_before}")
  string(LENGTH "${_breaks}" _n)
  math(EXPR _n "${_n} + 1")
  set(${out} ${_n} PARENT_SCOPE)
endfunction()

function(_kit_rel path out)
  file(RELATIVE_PATH _rel "${KIT_LAYERS_TOP}" "${path}")
  set(${out} "${_rel}" PARENT_SCOPE)
endfunction()

function(_kit_layers_scan)
  include(${KIT_LAYERS_RULES})
  math(EXPR _kit_last "${KIT_LAYER_COUNT} - 1")
  set(_roots "${KIT_LAYERS_TOP}")
  set(_files "")
  foreach(i RANGE ${_kit_last})
    cmake_path(GET KIT_LAYER_${i}_DIR PARENT_PATH _parent)
    list(APPEND _roots "${KIT_LAYER_${i}_DIR}" "${_parent}")
    list(TRANSFORM _KIT_LAYERS_SOURCES PREPEND "${KIT_LAYER_${i}_DIR}/" OUTPUT_VARIABLE _patterns)
    file(GLOB_RECURSE _found ${_patterns})
    list(APPEND _files ${_found} ${KIT_LAYER_${i}_FILES})
  endforeach()
  list(REMOVE_DUPLICATES _roots)
  list(REMOVE_DUPLICATES _files)
  list(SORT _files)
  set(_errors 0)
  foreach(f IN LISTS _files)
    _kit_layer_of("${f}" _mine)
    cmake_path(GET f PARENT_PATH _here)
    file(STRINGS "${f}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(line IN LISTS _lines)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" _name "${line}")
      set(_allowed FALSE)
      set(_found "")
      foreach(dir IN LISTS _here _roots)
        set(_candidate "${dir}/${_name}")
        if(NOT EXISTS "${_candidate}" OR IS_DIRECTORY "${_candidate}")
          continue()
        endif()
        cmake_path(NORMAL_PATH _candidate)
        _kit_layer_of("${_candidate}" _theirs)
        if(_theirs EQUAL -1 OR _theirs EQUAL _mine OR "${KIT_LAYER_${_theirs}_DIR}" IN_LIST KIT_LAYER_${_mine}_ALLOW)
          set(_allowed TRUE)
          break()
        endif()
        if(_found STREQUAL "")
          set(_found ${_theirs})
        endif()
      endforeach()
      if(_allowed OR _found STREQUAL "")
        continue()
      endif()
      # A folder of the includer's own layer or of an allowed one may be on the include path
      # (rttmodem/console for "options.h"): a file of those layers by that name is taken.
      string(LENGTH "/${_name}" _tail)
      foreach(g IN LISTS _files)
        string(LENGTH "${g}" _len)
        if(_len LESS_EQUAL _tail)
          continue()
        endif()
        math(EXPR _from "${_len} - ${_tail}")
        string(SUBSTRING "${g}" ${_from} -1 _end)
        if(_end STREQUAL "/${_name}")
          _kit_layer_of("${g}" _theirs)
          if(_theirs EQUAL _mine OR "${KIT_LAYER_${_theirs}_DIR}" IN_LIST KIT_LAYER_${_mine}_ALLOW)
            set(_allowed TRUE)
            break()
          endif()
        endif()
      endforeach()
      if(_allowed)
        continue()
      endif()
      _kit_line_of("${f}" "${line}" _at)
      _kit_rel("${f}" _file)
      _kit_rel("${KIT_LAYER_${_found}_DIR}" _theirs)
      _kit_rel("${KIT_LAYER_${_mine}_DIR}" _layer)
      set(_may "")
      foreach(a IN LISTS KIT_LAYER_${_mine}_ALLOW)
        _kit_rel("${a}" a)
        list(APPEND _may "${a}")
      endforeach()
      if(_may)
        list(JOIN _may ", " _may)
        set(_rule "${_layer} may include ${_may}")
      else()
        set(_rule "${_layer} may include no other layer")
      endif()
      message(NOTICE "${_file}:${_at}: #include \"${_name}\" is in ${_theirs}; ${_rule}")
      math(EXPR _errors "${_errors} + 1")
    endforeach()
  endforeach()
  if(_errors GREATER 0)
    message(FATAL_ERROR "${_errors} include(s) against the layers' rules (the kit_layer() lines of the CMakeLists.txt files)")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED KIT_LAYERS_RULES)
    message(FATAL_ERROR "usage: cmake -DKIT_LAYERS_RULES=<rules file> -P KitLayers.cmake")
  endif()
  _kit_layers_scan()
endif()
