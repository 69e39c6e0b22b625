# Rules for zig cross builds (zig-macos.cmake), set after the platform's:
# zig's ar and ranlib instead of the Apple tools, and extension modules linked
# as dynamic libraries rather than bundles, which zig's linker does not make
# (Python's dlopen() loads either).
set(CMAKE_CXX_ARCHIVE_CREATE "\"${TIDEWING_ZIG}\" ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "\"${TIDEWING_ZIG}\" ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "\"${TIDEWING_ZIG}\" ranlib <TARGET>")
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
