# Cross build for 64-bit Arm Linux: Debian's cross compiler
# (g++-aarch64-linux-gnu) and the arm64 CPython 3.11 of Debian's multiarch
# packages (libpython3.11-dev:arm64).
#
#   cmake -S . -B build-arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#     -DPython_EXECUTABLE=<a host CPython 3.11 with nanobind>
#
# or, for a wheel, pip wheel through scikit-build-core with
# _PYTHON_HOST_PLATFORM=linux-aarch64 and
# -C cmake.define.CMAKE_TOOLCHAIN_FILE=<this file> (see .ci/arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The host interpreter (of the same version) only runs nanobind's build
# helpers; what it would report of itself is replaced by the target's: its
# headers and its extension suffix. These normal variables win over the
# cache entries scikit-build-core makes from the host interpreter. The cross
# compiler searches /usr/include after its own sysroot, which is how the
# multiarch pyconfig.h there reaches the arm64 one.
set(Python_INCLUDE_DIR /usr/include/python3.11)
set(Python_SOABI cpython-311-aarch64-linux-gnu)
set(SKBUILD_SOABI ${Python_SOABI})

# Generating the stubs imports the built modules, which the host cannot do.
# They are the same on every architecture: stubs/ holds them.
set(TIDEWING_STUBS OFF)
