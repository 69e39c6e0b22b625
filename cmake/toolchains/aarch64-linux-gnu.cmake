# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) against the arm64 CPython of Debian's multiarch
# packages (libpython3.11-dev:arm64). The cross compiler searches
# /usr/include after its own sysroot, which is how Python.h's pyconfig.h
# reaches the arm64 one. Python_EXECUTABLE must still be a host interpreter
# of the same version: it runs nanobind's build helpers, never the modules.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# What the host interpreter would report for itself: the target's headers and
# extension suffix (also where scikit-build-core passes the host's).
set(Python_INCLUDE_DIR /usr/include/python3.11)
set(Python_SOABI cpython-311-aarch64-linux-gnu)
set(SKBUILD_SOABI ${Python_SOABI})
