// What the choice between a hardware and a portable implementation reads,
// made once per process for AES and for SHA-256: the environment variable
// that asks for the portable one, the CPUID leaf of the newer x86-64
// extensions (VAES, SHA), and what the operating system reports of the arm64
// Cryptography Extensions.
#pragma once

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#elif defined(__aarch64__) && defined(__linux__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#elif defined(__aarch64__) && defined(__APPLE__)
#include <sys/sysctl.h>
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

#if defined(__aarch64__)
// Whether the processor has the ARMv8 AES instructions (AESE, AESD, AESMC,
// AESIMC) and the SHA-256 ones (SHA256H, SHA256H2, SHA256SU0, SHA256SU1).
// The operating system says: Linux in the auxiliary vector's hardware
// capability bits, macOS through sysctl (1 when present).
#if defined(__linux__)
inline bool cpu_has_armv8_aes() {
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
}
inline bool cpu_has_armv8_sha256() {
    return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0;
}
#elif defined(__APPLE__)
inline bool apple_feature(const char* name) {
    int present = 0;
    size_t size = sizeof present;
    return sysctlbyname(name, &present, &size, nullptr, 0) == 0 && present == 1;
}
inline bool cpu_has_armv8_aes() {
    return apple_feature("hw.optional.arm.FEAT_AES");
}
inline bool cpu_has_armv8_sha256() {
    return apple_feature("hw.optional.arm.FEAT_SHA256");
}
#else
inline bool cpu_has_armv8_aes() {
    return false;
}
inline bool cpu_has_armv8_sha256() {
    return false;
}
#endif
#endif

} // namespace tw::lattice
