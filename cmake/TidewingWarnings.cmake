# Our warning set, held once: tidewing_warnings() gives it to each of our
# targets, and the CI scripts' few compiles made without CMake read it from
# here (.ci/lib.sh runs this file as `cmake -P`, which prints it, one flag a
# line).

# GCC's and clang's spelling. Compilers with MSVC's command line (clang-cl on
# Windows) take /W4 instead: there -Wall would mean every warning clang has.
set(TIDEWING_WARNING_FLAGS -Wall -Wextra -Wconversion -Wshadow)

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(flag IN LISTS TIDEWING_WARNING_FLAGS)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${flag}")
  endforeach()
  return()
endif()

option(TIDEWING_WERROR "Treat compiler warnings in our own targets as errors" OFF)

# tidewing_warnings(<target>): our warning set, errors under TIDEWING_WERROR.
function(tidewing_warnings target)
  if(CMAKE_CXX_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
    target_compile_options(${target} PRIVATE /W4)
    set(as_errors /WX)
  else()
    target_compile_options(${target} PRIVATE ${TIDEWING_WARNING_FLAGS})
    set(as_errors -Werror)
  endif()
  if(TIDEWING_WERROR)
    target_compile_options(${target} PRIVATE ${as_errors})
  endif()
endfunction()
