# macOS on x86-64, cross-compiled with zig: see zig-macos.cmake.
set(TIDEWING_ZIG_ARCH x86_64)
set(TIDEWING_ZIG_ARCH_APPLE x86_64)
set(TIDEWING_ZIG_MACOS_VERSION 10.15)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
