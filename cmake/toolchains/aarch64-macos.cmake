# macOS on arm64 (Apple silicon), cross-compiled with zig: see zig-macos.cmake.
set(TIDEWING_ZIG_ARCH aarch64)
set(TIDEWING_ZIG_ARCH_APPLE arm64)
set(TIDEWING_ZIG_MACOS_VERSION 11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)
