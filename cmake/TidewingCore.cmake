# What every target of ours shares, and the static libraries of the modules'
# pure C++ cores. Included by the top-level project and by the fuzz targets'
# project alike, so a core builds the same way for both.

include(${CMAKE_CURRENT_LIST_DIR}/TidewingWarnings.cmake)

# tidewing_add_core(<name> <sources...>)
#
# A module's pure C++ as a static library. It is built without the Python
# include path, so a core file that includes Python fails to compile: the
# boundary between the algorithms and the bindings holds by construction.
# Symbols stay hidden in the extension that links it, except those a file
# exports on purpose.
function(tidewing_add_core name)
  add_library(${name} STATIC ${ARGN})
  get_filename_component(sources_root "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src" ABSOLUTE)
  target_include_directories(${name} PUBLIC "${sources_root}")
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  tidewing_warnings(${name})
endfunction()
