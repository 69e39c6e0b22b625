// The vector kernels behind base64.h: 24 bytes to 32 characters per step and
// back. The scalar code in base64.cpp does whatever they leave.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::lattice::base64::avx2 {

// Whether this processor has AVX2 (always false off x86-64).
bool available();

// Encodes `steps` times 24 bytes into 32 characters. Each step reads its 24
// bytes before writing its 32 characters, and reads nothing else.
void encode_steps(const uint8_t* in, char* out, size_t steps);

// Decodes `steps` times 32 characters into 24 bytes, writing exactly those.
// False when any character lies outside both alphabets.
bool decode_steps(const char* text, uint8_t* out, size_t steps);

} // namespace tw::lattice::base64::avx2
