// Inline helpers on the x86-64 SHA instructions, shared by the SHA-256 path
// and the token kernels. Include only from files compiled for x86-64; every
// function carries the SHA target attribute, so the includer needs no flags.
//
// SHA256RNDS2 does two rounds on the working variables kept as two vectors,
// (A, B, E, F) and (C, D, G, H); SHA256MSG1/MSG2 compute the message schedule
// four words at a time.
#pragma once

#include <immintrin.h>

#include "tw_lattice/core/sha256_paths.h"

#define TW_SHA_TARGET __attribute__((target("sha,sse4.1")))

namespace tw::lattice::sha256::ni {

// The working variables as SHA256RNDS2 wants them: lanes (F, E, B, A) and
// (H, G, D, C), lane 0 first.
struct Packed {
    __m128i abef, cdgh;
};

TW_SHA_TARGET inline Packed pack(const State& state) {
    const __m128i badc = _mm_shuffle_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h)), 0xb1); // lanes B A D C
    const __m128i hgfe = _mm_shuffle_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.h + 4)), 0x1b); // lanes H G F E
    return {_mm_alignr_epi8(badc, hgfe, 8), _mm_blend_epi16(hgfe, badc, 0xf0)};
}

TW_SHA_TARGET inline void unpack(const Packed& packed, State& state) {
    const __m128i feba = _mm_shuffle_epi32(packed.abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(packed.cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.h), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.h + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Message words (A, B, C, D) and (E, F, G, H) of a digest in packed form, for
// hashing a digest as the first half of the next message block.
TW_SHA_TARGET inline __m128i digest_words_low(const Packed& packed) {
    return _mm_shuffle_epi32(_mm_unpackhi_epi64(packed.abef, packed.cdgh), 0xb1);
}
TW_SHA_TARGET inline __m128i digest_words_high(const Packed& packed) {
    return _mm_shuffle_epi32(_mm_unpacklo_epi64(packed.abef, packed.cdgh), 0xb1);
}

TW_SHA_TARGET inline __m128i load_message(const uint8_t* p) {
    const __m128i swap_bytes = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap_bytes);
}

// The compression of one block, four rounds at a time, so that callers can
// interleave it with other work: start, quad<0>() to quad<15>(), result().
class Block {
  public:
    TW_SHA_TARGET Block(const Packed& start, __m128i m0, __m128i m1, __m128i m2, __m128i m3)
        : start_(start), working_(start), m_{m0, m1, m2, m3} {}
    TW_SHA_TARGET Block(const Packed& start, const uint8_t* block)
        : Block(start, load_message(block), load_message(block + 16), load_message(block + 32),
                load_message(block + 48)) {}

    // Rounds 4i to 4i + 3.
    template <int I> TW_SHA_TARGET inline void quad() {
        if constexpr (I >= 4) {
            // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
            __m128i& w = m_[I % 4];
            const __m128i previous = m_[(I + 3) % 4];
            w = _mm_sha256msg1_epu32(w, m_[(I + 1) % 4]);
            w = _mm_add_epi32(w, _mm_alignr_epi8(previous, m_[(I + 2) % 4], 4));
            w = _mm_sha256msg2_epu32(w, previous);
        }
        const __m128i k = _mm_add_epi32(
            m_[I % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * I)));
        working_.cdgh = _mm_sha256rnds2_epu32(working_.cdgh, working_.abef, k);
        working_.abef =
            _mm_sha256rnds2_epu32(working_.abef, working_.cdgh, _mm_shuffle_epi32(k, 0x0e));
    }

    template <int First, int Count> TW_SHA_TARGET inline void quads() {
        if constexpr (Count > 0) {
            quad<First>();
            quads<First + 1, Count - 1>();
        }
    }

    // The state after the block: the feed-forward addition.
    TW_SHA_TARGET inline Packed result() const {
        return {_mm_add_epi32(working_.abef, start_.abef),
                _mm_add_epi32(working_.cdgh, start_.cdgh)};
    }

  private:
    Packed start_, working_;
    __m128i m_[4];
};

TW_SHA_TARGET inline Packed compress_block(const Packed& start, const uint8_t* block) {
    Block rounds(start, block);
    rounds.quads<0, 16>();
    return rounds.result();
}

} // namespace tw::lattice::sha256::ni
