# Warnings are errors everywhere in our own code.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)

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
