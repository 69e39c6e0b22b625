// SHA-256 compression on the x86-64 SHA instructions (sha256_ni.h).
//
// Only these functions are compiled for the SHA instruction set (per-function
// target attributes); sha256.cpp calls in here only after checking the CPU.
// Locals that hold keyed states are wiped when they go (Wiped).
#include "tw_lattice/core/sha256_paths.h"

#if defined(__x86_64__) || defined(__i386__)

#include "common/platform/platform.h"
#include "tw_lattice/core/sha256_ni.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::sha256::hardware {
namespace {

// A digest's eight words in two registers; a struct, as vector types cannot
// be template arguments as they are.
struct Digest {
    __m128i w[2];
};

} // namespace

bool available() {
    // The SHA extensions, with SSE4.1 for the shuffles.
    return tw::platform::cpu_features().sha;
}

TW_SHA_TARGET void compress(State& state, const uint8_t* blocks, size_t count) {
    Wiped<ni::Packed> packed(ni::pack(state));
    for (size_t n = 0; n < count; ++n, blocks += kBlockSize)
        packed.value = ni::compress_block(packed.value, blocks);
    ni::unpack(packed.value, state);
}

TW_SHA_TARGET void hmac_iterate(const State& inner, const State& outer, State& u, State& sum,
                                uint32_t count) {
    // Both compressions of an iteration hash a digest followed by the fixed
    // padding of a 96-byte message.
    const __m128i padding_low = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    const __m128i padding_high = _mm_set_epi32((kBlockSize + kDigestSize) * 8, 0, 0, 0);
    Wiped<ni::Packed[2]> keyed_states;
    Wiped<Digest> words_held, total_held;
    ni::Packed* keyed = keyed_states.value;
    __m128i* words = words_held.value.w;
    __m128i* total = total_held.value.w;
    keyed[0] = ni::pack(inner), keyed[1] = ni::pack(outer);
    words[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u.h));
    words[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u.h + 4));
    total[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sum.h));
    total[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sum.h + 4));
    for (uint32_t n = 0; n < count; ++n) {
        ni::Block inner_rounds(keyed[0], words[0], words[1], padding_low, padding_high);
        inner_rounds.quads<0, 16>();
        const ni::Packed inner_digest = inner_rounds.result();
        ni::Block outer_rounds(keyed[1], ni::digest_words_low(inner_digest),
                               ni::digest_words_high(inner_digest), padding_low, padding_high);
        outer_rounds.quads<0, 16>();
        const ni::Packed outer_digest = outer_rounds.result();
        words[0] = ni::digest_words_low(outer_digest);
        words[1] = ni::digest_words_high(outer_digest);
        total[0] = _mm_xor_si128(total[0], words[0]);
        total[1] = _mm_xor_si128(total[1], words[1]);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u.h), words[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u.h + 4), words[1]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum.h), total[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum.h + 4), total[1]);
}

} // namespace tw::lattice::sha256::hardware

#elif !defined(__aarch64__) // no SHA instructions here: never selected
// (arm64 has its own, in sha256_armv8.cpp)

#include <cstdlib>

namespace tw::lattice::sha256::hardware {
bool available() {
    return false;
}
void compress(State&, const uint8_t*, size_t) {
    std::abort();
}
void hmac_iterate(const State&, const State&, State&, State&, uint32_t) {
    std::abort();
}
} // namespace tw::lattice::sha256::hardware

#endif
