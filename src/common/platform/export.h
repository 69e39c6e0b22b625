/* A function exported from the shared object (the extension module) that
 * links it, for callers outside it (ctypes, C programs). C as well as C++.
 * Windows marks such functions dllexport; the POSIX systems give them default
 * visibility, as everything else is built hidden there. */
#pragma once

#if defined(_WIN32)
#define TW_PLATFORM_EXPORT __declspec(dllexport)
#else
#define TW_PLATFORM_EXPORT __attribute__((visibility("default")))
#endif
