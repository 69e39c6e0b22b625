// PBKDF2 with HMAC-SHA256 as its pseudorandom function (RFC 8018 5.2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::lattice {

// Derives `size` bytes (at least 1) into `out` from a password and salt of any
// length with `iterations` rounds (at least 1). The password's HMAC states are
// computed once; every intermediate value is wiped. Long work asks whether
// to stop (work_steps.h): false when told to, `out` then holding no key.
bool pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size, const uint8_t* salt,
                        size_t salt_size, uint32_t iterations, uint8_t* out, size_t size);

} // namespace tw::lattice
