// Base64 on AVX2, 24 bytes and 32 characters per step (base64_avx2.h).
#include "tw_lattice/core/base64_paths.h"

#if defined(__x86_64__) || defined(__i386__)

#include "common/platform/platform.h"
#include "tw_lattice/core/base64_avx2.h"

namespace tw::lattice::base64::avx2 {

bool available() {
    return tw::platform::cpu_features().avx2;
}

TW_AVX2_TARGET void encode_steps(const uint8_t* in, char* out, size_t steps) {
    for (size_t s = 0; s < steps; ++s, in += 24, out += 32) {
        // Bytes 0..15 in the low lane, 8..23 in the high one (whose shuffle
        // starts 4 in): exactly the 24 bytes are read.
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8));
        const __m256i text = encode_step(_mm256_set_m128i(high, low));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
    }
}

TW_AVX2_TARGET bool decode_steps(const char* text, uint8_t* out, size_t steps) {
    const DecodeTables tables;
    __m256i invalid = _mm256_setzero_si256();
    for (size_t s = 0; s < steps; ++s, text += 32, out += 24) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
        store_packed(values_of(c, tables, invalid), out);
    }
    return _mm256_testz_si256(invalid, invalid) != 0;
}

} // namespace tw::lattice::base64::avx2

#else // no AVX2 on this architecture: never selected

#include <cstdlib>

namespace tw::lattice::base64::avx2 {
bool available() {
    return false;
}
void encode_steps(const uint8_t*, char*, size_t) {
    std::abort();
}
bool decode_steps(const char*, uint8_t*, size_t) {
    std::abort();
}
} // namespace tw::lattice::base64::avx2

#endif
