// SHA-256 compression on the ARMv8 SHA-256 instructions.
//
// The working variables stay in two vectors, (A, B, C, D) and (E, F, G, H),
// lane 0 first: the order of State, so the state loads and stores as it is.
// SHA256H and SHA256H2 run four rounds, giving the new (A, B, C, D) and
// (E, F, G, H) from the old pair and four words W[t] + K[t]; SHA256SU0 and
// SHA256SU1 extend the message schedule four words at a time. No tables, no
// branches on data; locals that hold keyed states are wiped when they go
// (Wiped).
#include "tw_lattice/core/sha256_paths.h"

#if defined(__aarch64__)

#include "tw_lattice/core/armv8_crypto.h"
#include "tw_lattice/core/implementation_choice.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::sha256::hardware {
namespace {

struct Working {
    uint32x4_t abcd, efgh;
};

TW_ARMV8_CRYPTO_TARGET inline Working load_state(const State& state) {
    return {vld1q_u32(state.h), vld1q_u32(state.h + 4)};
}

TW_ARMV8_CRYPTO_TARGET inline void store_state(const Working& working, State& state) {
    vst1q_u32(state.h, working.abcd);
    vst1q_u32(state.h + 4, working.efgh);
}

// Four big-endian message words.
TW_ARMV8_CRYPTO_TARGET inline uint32x4_t load_message(const uint8_t* p) {
    return vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(p)));
}

// FIPS 180-4 6.2.2 steps 2 to 4 on one block given as its first sixteen
// words: returns the state after the block, feed-forward included.
TW_ARMV8_CRYPTO_TARGET inline Working compress_words(const Working& start, uint32x4_t m0,
                                                     uint32x4_t m1, uint32x4_t m2, uint32x4_t m3) {
    uint32x4_t w[4] = {m0, m1, m2, m3};
    Working v = start;
    for (int quad = 0; quad < 16; ++quad) {
        uint32x4_t& words = w[quad % 4];
        if (quad >= 4) // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], for four t
            words = vsha256su1q_u32(vsha256su0q_u32(words, w[(quad + 1) % 4]), w[(quad + 2) % 4],
                                    w[(quad + 3) % 4]);
        const uint32x4_t schedule = vaddq_u32(words, vld1q_u32(kRoundConstants + 4 * quad));
        const uint32x4_t abcd = v.abcd;
        v.abcd = vsha256hq_u32(abcd, v.efgh, schedule);
        v.efgh = vsha256h2q_u32(v.efgh, abcd, schedule);
    }
    return {vaddq_u32(v.abcd, start.abcd), vaddq_u32(v.efgh, start.efgh)};
}

} // namespace

bool available() {
    return cpu_has_armv8_sha256();
}

TW_ARMV8_CRYPTO_TARGET void compress(State& state, const uint8_t* blocks, size_t count) {
    Wiped<Working> working(load_state(state));
    for (size_t n = 0; n < count; ++n, blocks += kBlockSize)
        working.value =
            compress_words(working.value, load_message(blocks), load_message(blocks + 16),
                           load_message(blocks + 32), load_message(blocks + 48));
    store_state(working.value, state);
}

TW_ARMV8_CRYPTO_TARGET void hmac_iterate(const State& inner, const State& outer, State& u,
                                         State& sum, uint32_t count) {
    // Both compressions of an iteration hash a digest after one keyed block:
    // its eight words (the digest's state words, as they are), then the
    // padding of a 96-byte message.
    const uint32_t high_padding[4] = {0, 0, 0, (kBlockSize + kDigestSize) * 8};
    const uint32x4_t padding_low = vsetq_lane_u32(0x80000000u, vdupq_n_u32(0), 0);
    const uint32x4_t padding_high = vld1q_u32(high_padding);
    Wiped<Working[2]> keyed_states;
    Working* keyed = keyed_states.value;
    keyed[0] = load_state(inner), keyed[1] = load_state(outer);
    Wiped<Working> chain_held(load_state(u)), total_held(load_state(sum));
    Working& chain = chain_held.value;
    Working& total = total_held.value;
    for (uint32_t n = 0; n < count; ++n) {
        const Working inner_digest =
            compress_words(keyed[0], chain.abcd, chain.efgh, padding_low, padding_high);
        chain = compress_words(keyed[1], inner_digest.abcd, inner_digest.efgh, padding_low,
                               padding_high);
        total = {veorq_u32(total.abcd, chain.abcd), veorq_u32(total.efgh, chain.efgh)};
    }
    store_state(chain, u);
    store_state(total, sum);
}

} // namespace tw::lattice::sha256::hardware

#endif
