// Inline helpers on the x86-64 AES instructions, shared by the AES paths and
// the token kernels. Include only from files compiled for x86-64; every
// function carries the AES target attribute, so the includer needs no flags.
#pragma once

#include <cstdint>
#include <immintrin.h>

#define TW_AES_TARGET __attribute__((target("aes,sse2")))

namespace tw::lattice::aes_ni {

TW_AES_TARGET inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TW_AES_TARGET inline void store(uint8_t* p, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), value);
}

// Round keys held on the stack, for Wiped<RoundKeys>: a struct, as vector
// types cannot be template arguments as they are.
struct RoundKeys {
    __m128i k[11];
};

TW_AES_TARGET inline void load_keys(const uint8_t round_keys[176], __m128i out[11]) {
    for (int i = 0; i < 11; ++i)
        out[i] = load(round_keys + 16 * i);
}

// The forward cipher on one block (already XORed with the chaining value).
TW_AES_TARGET inline __m128i encrypt_block(__m128i block, const __m128i k[11]) {
    block = _mm_xor_si128(block, k[0]);
    for (int r = 1; r < 10; ++r)
        block = _mm_aesenc_si128(block, k[r]);
    return _mm_aesenclast_si128(block, k[10]);
}

} // namespace tw::lattice::aes_ni
