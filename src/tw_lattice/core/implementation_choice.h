// What the choice between a hardware and a portable implementation reads,
// made once per process for AES and for SHA-256: the environment variable
// that asks for the portable one, and what the processor offers
// (platform::cpu_features()).
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

} // namespace tw::lattice
