// What the ARMv8 AES and SHA-256 paths share: the NEON intrinsics and the
// attribute that compiles one function for the Cryptography Extensions.
// Include only from files compiled for arm64. The rest of the module stays
// baseline ARMv8-A; the paths are entered only after the CPU check in
// implementation_choice.h.
#pragma once

#include <arm_neon.h>

#if defined(__clang__)
#define TW_ARMV8_CRYPTO_TARGET __attribute__((target("crypto")))
#else
#define TW_ARMV8_CRYPTO_TARGET __attribute__((target("+crypto")))
#endif
