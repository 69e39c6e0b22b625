// Portable SHA-256 compression (FIPS 180-4 6.2.2) on 32-bit words: no
// tables indexed by data and no data-dependent branches.
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/sha256_paths.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::sha256::portable {
namespace {

inline uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// FIPS 180-4 4.1.2.
inline uint32_t choose(uint32_t e, uint32_t f, uint32_t g) {
    return g ^ (e & (f ^ g));
}
inline uint32_t majority(uint32_t a, uint32_t b, uint32_t c) {
    return (a & b) | (c & (a | b));
}
inline uint32_t big_sigma0(uint32_t a) {
    return rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
}
inline uint32_t big_sigma1(uint32_t e) {
    return rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
}
inline uint32_t small_sigma0(uint32_t x) {
    return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3);
}
inline uint32_t small_sigma1(uint32_t x) {
    return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10);
}

// One round with the working variables passed in their rotated order, so the
// eight-round body below renames instead of moving values.
inline void step(uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f,
                 uint32_t g, uint32_t& h, uint32_t constant_plus_word) {
    const uint32_t t1 = h + big_sigma1(e) + choose(e, f, g) + constant_plus_word;
    d += t1;
    h = t1 + big_sigma0(a) + majority(a, b, c);
}

// Compresses one block given as its sixteen words; `w` is used as the
// message schedule's ring buffer.
void transform(State& state, uint32_t w[16]) {
    uint32_t a = state.h[0], b = state.h[1], c = state.h[2], d = state.h[3];
    uint32_t e = state.h[4], f = state.h[5], g = state.h[6], h = state.h[7];
    auto word = [&](int t) {
        if (t >= 16)
            w[t & 15] +=
                small_sigma1(w[(t - 2) & 15]) + w[(t - 7) & 15] + small_sigma0(w[(t - 15) & 15]);
        return kRoundConstants[t] + w[t & 15];
    };
#pragma GCC unroll 8
    for (int t = 0; t < 64; t += 8) {
        step(a, b, c, d, e, f, g, h, word(t));
        step(h, a, b, c, d, e, f, g, word(t + 1));
        step(g, h, a, b, c, d, e, f, word(t + 2));
        step(f, g, h, a, b, c, d, e, word(t + 3));
        step(e, f, g, h, a, b, c, d, word(t + 4));
        step(d, e, f, g, h, a, b, c, word(t + 5));
        step(c, d, e, f, g, h, a, b, word(t + 6));
        step(b, c, d, e, f, g, h, a, word(t + 7));
    }
    state.h[0] += a, state.h[1] += b, state.h[2] += c, state.h[3] += d;
    state.h[4] += e, state.h[5] += f, state.h[6] += g, state.h[7] += h;
}

} // namespace

void compress(State& state, const uint8_t* blocks, size_t count) {
    Wiped<uint32_t[16]> w;
    for (size_t n = 0; n < count; ++n, blocks += kBlockSize) {
        for (int i = 0; i < 16; ++i)
            w.value[i] = load_be32(blocks + 4 * i);
        transform(state, w.value);
    }
}

void hmac_iterate(const State& inner, const State& outer, State& u, State& sum, uint32_t count) {
    // Both compressions of an iteration take a 32-byte message after one keyed
    // block: its eight words, then the padding of a 96-byte message.
    Wiped<uint32_t[16]> message;
    uint32_t* w = message.value;
    auto load_message = [w](const State& digest) {
        for (int i = 0; i < 8; ++i)
            w[i] = digest.h[i];
        w[8] = 0x80000000u;
        for (int i = 9; i < 15; ++i)
            w[i] = 0;
        w[15] = (kBlockSize + kDigestSize) * 8;
    };
    Wiped<State> inner_digest;
    for (uint32_t n = 0; n < count; ++n) {
        load_message(u);
        inner_digest.value = inner;
        transform(inner_digest.value, w);
        load_message(inner_digest.value);
        u = outer;
        transform(u, w);
        for (int i = 0; i < 8; ++i)
            sum.h[i] ^= u.h[i];
    }
}

} // namespace tw::lattice::sha256::portable
