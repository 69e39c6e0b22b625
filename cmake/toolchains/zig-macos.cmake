# Cross-compiling for macOS with zig's clang, from the `ziglang` package of
# the Python package index: the extension modules compile against macOS's
# system headers, which zig ships, and link as Mach-O bundles whose CPython
# symbols stay undefined until the interpreter loads them (as every macOS
# extension module links), so no macOS Python or SDK is needed. Included by
# aarch64-macos.cmake and x86_64-macos.cmake, which name the target.
#
#   cmake -S . -B build-macos --toolchain cmake/toolchains/aarch64-macos.cmake \
#     -DTIDEWING_ZIG_PYTHON=.venv/bin/python -DPython_EXECUTABLE=.venv/bin/python \
#     -DPython_INCLUDE_DIR=<CPython 3.10 headers> -DTIDEWING_STUBS=OFF
#
# TIDEWING_ZIG_PYTHON is a Python with `ziglang` installed (default: the
# python3 on PATH); Python_EXECUTABLE runs nanobind's configuration on the
# build machine.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${TIDEWING_ZIG_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${TIDEWING_ZIG_ARCH_APPLE} CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET ${TIDEWING_ZIG_MACOS_VERSION} CACHE STRING "" FORCE)
# No SDK to look for: zig has macOS's headers and libraries itself.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)

# Try-compiles (and configure runs repeated by the build) see the same zig.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TIDEWING_ZIG_PYTHON TIDEWING_ZIG)

if(NOT TIDEWING_ZIG)
  if(NOT TIDEWING_ZIG_PYTHON)
    find_program(TIDEWING_ZIG_PYTHON NAMES python3 python REQUIRED)
  endif()
  execute_process(
    COMMAND "${TIDEWING_ZIG_PYTHON}" -c
            "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "No zig found: ${TIDEWING_ZIG_PYTHON} needs the ziglang package")
  endif()
  set(TIDEWING_ZIG "${zig}" CACHE FILEPATH "zig, from the ziglang package")
endif()

set(zig_target ${TIDEWING_ZIG_ARCH}-macos.${TIDEWING_ZIG_MACOS_VERSION})
set(CMAKE_C_COMPILER "${TIDEWING_ZIG};cc;-target;${zig_target}")
set(CMAKE_CXX_COMPILER "${TIDEWING_ZIG};c++;-target;${zig_target}")
# No C++20 modules here: nothing to scan for (and no clang-scan-deps).
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
# Static libraries are archived by zig's own ar, and modules linked as
# dynamic libraries; the rules are set after the platform's (which would call
# Apple's ranlib and ask for a bundle, which zig does not make) by the
# override file.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake")

# Python: the build machine's interpreter runs nanobind's configuration; the
# extension modules are named as macOS's CPython 3.10 names them, and link
# with CPython's symbols left to the interpreter (zig's linker reads no
# response file of symbols, nanobind's way; TidewingModule.cmake).
set(TIDEWING_EXTENSION_SUFFIX .cpython-310-darwin.so)
set(TIDEWING_UNDEFINED_DYNAMIC_LOOKUP ON)
# Look for headers and libraries in the target's folders only, programs on
# the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
