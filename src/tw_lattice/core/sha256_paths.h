// The two implementations behind the SHA-256 interface (sha256.h). Both
// compress whole 64-byte blocks into the FIPS 180-4 working words.
#pragma once

#include "tw_lattice/core/sha256.h"

namespace tw::lattice::sha256 {

// The 64 round constants K of FIPS 180-4 4.2.2.
extern const uint32_t kRoundConstants[64];

namespace portable {
void compress(State& state, const uint8_t* blocks, size_t count);
void hmac_iterate(const State& inner, const State& outer, State& u, State& sum, uint32_t count);
} // namespace portable

namespace hardware {
// Whether this processor has the SHA instructions (always false except on x86-64 and arm64).
bool available();
void compress(State& state, const uint8_t* blocks, size_t count);
void hmac_iterate(const State& inner, const State& outer, State& u, State& sum, uint32_t count);
} // namespace hardware

} // namespace tw::lattice::sha256
