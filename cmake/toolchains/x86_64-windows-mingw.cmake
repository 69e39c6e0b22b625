# Windows on x86-64 with Debian's MinGW-w64 cross compiler (package
# g++-mingw-w64-x86-64-posix, the variant with the C++ thread library). Builds
# the pure C++ cores and their native tests (tests/native), which run under
# wine, and compiles the bindings where CPython's Windows headers are given
# (.ci/platforms). The wheels users install are built by cibuildwheel on
# Windows runners with clang-cl, Visual Studio's ClangCL toolset
# (pyproject.toml).
#
#   cmake -S tests/native -B build-windows --toolchain cmake/toolchains/x86_64-windows-mingw.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Programs carry their C and C++ runtimes, so that wine needs no MinGW DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Extension modules are named as CPython 3.10 on 64-bit Windows names them.
set(TIDEWING_EXTENSION_SUFFIX .cp310-win_amd64.pyd)
