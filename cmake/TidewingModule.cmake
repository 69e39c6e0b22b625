# tidewing_add_module(<name> <package> <sources...>)
#
# One nanobind extension module installed as <package>.<name>. nanobind's
# headers are included as system headers, so our warning set applies to our
# code only. Besides the
# install, each build lays out a ready-to-import tree under
# ${CMAKE_BINARY_DIR}/stage (the package sources plus the built modules), so a
# plain CMake build can be tested with PYTHONPATH=<build>/stage and stubgen can
# import the module from there.

set(TIDEWING_STAGE "${CMAKE_BINARY_DIR}/stage")

# The package sources are byte-compiled there as an install compiles them,
# so that importing from the stage costs what importing the installed
# package does: the first source compiled in a process sets up the
# interpreter's syntax-tree types, a millisecond and a half.
if(NOT TARGET tidewing_stage_python)
  add_custom_target(tidewing_stage_python ALL
    COMMAND "${CMAKE_COMMAND}" -E copy_directory "${PROJECT_SOURCE_DIR}/python" "${TIDEWING_STAGE}"
    COMMAND "${Python_EXECUTABLE}" -m compileall -q "${TIDEWING_STAGE}"
    COMMENT "Staging the Python package sources")
endif()

# The modules need the GIL: never FREE_THREADED, so that they declare no
# Py_mod_gil slot and a free-threaded CPython turns the GIL on for them
# (src/common/needs_gil.h).
function(tidewing_add_module name package)
  if("FREE_THREADED" IN_LIST ARGN)
    message(FATAL_ERROR "${name} needs the GIL: it cannot be built FREE_THREADED")
  endif()
  nanobind_add_module(${name} NB_STATIC NB_DOMAIN tidewing NOMINSIZE NB_SUPPRESS_WARNINGS ${ARGN})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src")
  target_compile_definitions(${name} PRIVATE TIDEWING_NATIVE_FS=$<BOOL:${TIDEWING_NATIVE_FS}>)
  # A cross build (cmake/toolchains/) names the module as the target's CPython
  # does, and may leave every undefined symbol to the interpreter instead of
  # naming CPython's in a linker response file, nanobind's way on macOS.
  if(TIDEWING_EXTENSION_SUFFIX)
    set_target_properties(${name} PROPERTIES SUFFIX "${TIDEWING_EXTENSION_SUFFIX}")
  endif()
  if(TIDEWING_UNDEFINED_DYNAMIC_LOOKUP)
    get_target_property(link_options ${name} LINK_OPTIONS)
    list(FILTER link_options EXCLUDE REGEX "^-Wl,@")
    set_target_properties(${name} PROPERTIES LINK_OPTIONS "${link_options}")
    target_link_options(${name} PRIVATE -Wl,-undefined,dynamic_lookup)
  endif()
  # A thread the interpreter ends inside our calls stops at our frames
  # (src/common/platform/thread_end_glibc.cpp): every C++ frame of the module
  # goes through the wrapped personality routine.
  if(TARGET tw_thread_end)
    target_link_libraries(${name} PRIVATE tw_thread_end)
    target_link_options(${name} PRIVATE -Wl,--wrap=__gxx_personality_v0)
  endif()
  tidewing_warnings(${name})
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY "${TIDEWING_STAGE}/${package}")
  add_dependencies(${name} tidewing_stage_python)
  install(TARGETS ${name} LIBRARY DESTINATION ${package})

  if(TIDEWING_STUBS)
    # One rule per package makes the py.typed marker; modules sharing a
    # package would otherwise each generate it.
    get_property(marked GLOBAL PROPERTY TIDEWING_MARKED_${package})
    set(marker)
    set(marker_file)
    if(NOT marked)
      set(marker_file "${TIDEWING_STAGE}/${package}/py.typed")
      set(marker -M "${marker_file}")
      set_property(GLOBAL PROPERTY TIDEWING_MARKED_${package} TRUE)
    endif()
    # A module may adjust its generated stubs with a stubs.pattern file.
    set(pattern)
    set(pattern_file)
    if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/stubs.pattern")
      set(pattern_file "${CMAKE_CURRENT_SOURCE_DIR}/stubs.pattern")
      set(pattern -p "${pattern_file}")
    endif()
    # What nanobind_add_stub runs, through cmake/generate_stubs.py, which
    # tells nanobind's generator about the wrapper our methods sit in. Names
    # with a leading underscore are described too: hosts rebind them
    # (_EXPORT_TIMEOUT_S, _RECENT_LIMIT) and subclass them (_Backend).
    set(stub "${TIDEWING_STAGE}/${package}/${name}.pyi")
    set(generator "${PROJECT_SOURCE_DIR}/cmake/generate_stubs.py")
    add_custom_command(
      OUTPUT "${stub}" ${marker_file}
      COMMAND "${Python_EXECUTABLE}" "${generator}" -q --include-private -i "${TIDEWING_STAGE}" ${pattern}
              ${marker} -m ${package}.${name} -o "${stub}"
      WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
      DEPENDS ${name} "${generator}" ${pattern_file}
      COMMENT "Generating the stubs of ${package}.${name}")
    add_custom_target(${name}_stub ALL DEPENDS "${stub}" ${marker_file})
    install(FILES "${TIDEWING_STAGE}/${package}/${name}.pyi"
                  "${TIDEWING_STAGE}/${package}/py.typed"
            DESTINATION ${package})
  endif()
endfunction()
