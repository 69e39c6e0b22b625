// What the choice between a hardware and a portable implementation reads,
// made once per process for AES and for SHA-256: the environment variable
// that asks for the portable one, and the CPUID leaf of the newer x86-64
// extensions (VAES, SHA).
#pragma once

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace tw::lattice {

// Whether `variable` is set to something other than "" or "0".
inline bool portable_requested(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value && std::strcmp(value, "0") != 0;
}

#if defined(__x86_64__) || defined(__i386__)
// The EBX and ECX of CPUID leaf 7, subleaf 0; false when the processor has
// no such leaf.
inline bool cpuid_leaf_7(unsigned& ebx, unsigned& ecx) {
    unsigned eax, edx;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return true;
}
#endif

} // namespace tw::lattice
