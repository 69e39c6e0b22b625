// What the choice between a hardware and a portable implementation reads,
// made once per process for AES and for SHA-256: the environment variable
// that asks for the portable one, and what the processor offers as the
// platform layer reads it (platform::cpu_features()).
#pragma once

#include <cstdlib>
#include <cstring>

#include "common/platform/platform.h"

namespace tw::lattice {

// Whether `variable` is set to something other than "" or "0".
inline bool portable_requested(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value && std::strcmp(value, "0") != 0;
}

#if defined(__aarch64__)
// Whether the processor has the ARMv8 AES instructions (AESE, AESD, AESMC,
// AESIMC) and the SHA-256 ones (SHA256H, SHA256H2, SHA256SU0, SHA256SU1), as
// the operating system reports them.
inline bool cpu_has_armv8_aes() {
    return tw::platform::cpu_features().armv8_aes;
}
inline bool cpu_has_armv8_sha256() {
    return tw::platform::cpu_features().armv8_sha256;
}
#endif

} // namespace tw::lattice
