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
  add_compile_options(${_san_flags} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(${_san_flags})
endif()

if(SANITIZE STREQUAL "thread")
  set(KIT_TSAN ON)
else()
  set(KIT_TSAN OFF)
endif()
