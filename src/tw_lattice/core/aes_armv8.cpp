// AES-128-CBC on the ARMv8 AES instructions.
//
// AESE is AddRoundKey, SubBytes and ShiftRows in one step, AESMC is
// MixColumns; AESD and AESIMC are their inverses. A FIPS-197 round therefore
// starts with the previous round's key: the cipher is nine AESE + AESMC
// pairs on keys 0..8, AESE on key 9 and an XOR with key 10. Decryption runs
// the equivalent inverse cipher (FIPS-197 5.3.5) the same way. There are no
// tables and no branches on data; the round keys held in registers and on the
// stack are wiped when they go (Wiped). The key schedule is the
// FIPS-197 one, byte for byte, so contexts are interchangeable with the
// portable path.
#include "tw_lattice/core/aes_paths.h"

#if defined(__aarch64__)

#include <cstring>

#include "tw_lattice/core/armv8_crypto.h"
#include "tw_lattice/core/implementation_choice.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::hardware {
namespace {

constexpr int kRounds = 10;

struct RoundKeys {
    uint8x16_t k[kRounds + 1];
};

TW_ARMV8_CRYPTO_TARGET inline void load_keys(const uint8_t round_keys[176], RoundKeys& keys) {
    for (int i = 0; i <= kRounds; ++i)
        keys.k[i] = vld1q_u8(round_keys + 16 * i);
}

// The equivalent inverse cipher's keys: the schedule in reverse order, the
// middle nine passed through InvMixColumns.
TW_ARMV8_CRYPTO_TARGET inline void decryption_keys(const uint8_t round_keys[176], RoundKeys& keys) {
    keys.k[0] = vld1q_u8(round_keys + 16 * kRounds);
    for (int i = 1; i < kRounds; ++i)
        keys.k[i] = vaesimcq_u8(vld1q_u8(round_keys + 16 * (kRounds - i)));
    keys.k[kRounds] = vld1q_u8(round_keys);
}

TW_ARMV8_CRYPTO_TARGET inline uint8x16_t encrypt_block(uint8x16_t block, const RoundKeys& keys) {
    for (int r = 0; r < kRounds - 1; ++r)
        block = vaesmcq_u8(vaeseq_u8(block, keys.k[r]));
    return veorq_u8(vaeseq_u8(block, keys.k[kRounds - 1]), keys.k[kRounds]);
}

// The inverse cipher on `Count` independent blocks, round by round, so that
// the instructions of different blocks overlap in the pipeline.
template <int Count>
TW_ARMV8_CRYPTO_TARGET inline void decrypt_blocks(uint8x16_t (&blocks)[Count],
                                                  const RoundKeys& keys) {
    for (int r = 0; r < kRounds - 1; ++r)
        for (int b = 0; b < Count; ++b)
            blocks[b] = vaesimcq_u8(vaesdq_u8(blocks[b], keys.k[r]));
    for (int b = 0; b < Count; ++b)
        blocks[b] = veorq_u8(vaesdq_u8(blocks[b], keys.k[kRounds - 1]), keys.k[kRounds]);
}

// SubWord of FIPS-197 5.2 on the instructions: with the word in all four
// columns every row holds one byte value, so ShiftRows changes nothing and
// AESE with a zero key leaves SubWord(word) in each lane.
TW_ARMV8_CRYPTO_TARGET inline uint32_t sub_word(uint32_t word) {
    const uint8x16_t spread = vreinterpretq_u8_u32(vdupq_n_u32(word));
    return vgetq_lane_u32(vreinterpretq_u32_u8(vaeseq_u8(spread, vdupq_n_u8(0))), 0);
}

} // namespace

bool available() {
    return cpu_has_armv8_aes();
}

// FIPS-197 5.2 for Nk = 4, on little-endian words: byte 0 of a word is its
// low byte, so RotWord is a rotation right by 8 and Rcon goes in the low byte.
TW_ARMV8_CRYPTO_TARGET void expand_key(const uint8_t key[16], uint8_t round_keys[176]) {
    static constexpr uint8_t kRoundConstants[kRounds] = {0x01, 0x02, 0x04, 0x08, 0x10,
                                                         0x20, 0x40, 0x80, 0x1b, 0x36};
    Wiped<uint32_t[44]> words;
    uint32_t* w = words.value;
    std::memcpy(w, key, 16);
    for (int i = 4; i < 44; i += 4) {
        const uint32_t rotated = (w[i - 1] >> 8) | (w[i - 1] << 24);
        w[i] = w[i - 4] ^ sub_word(rotated) ^ kRoundConstants[i / 4 - 1];
        w[i + 1] = w[i - 3] ^ w[i];
        w[i + 2] = w[i - 2] ^ w[i + 1];
        w[i + 3] = w[i - 1] ^ w[i + 2];
    }
    std::memcpy(round_keys, w, sizeof words.value);
}

TW_ARMV8_CRYPTO_TARGET void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16],
                                        const uint8_t* in, uint8_t* out, size_t length) {
    Wiped<RoundKeys> held;
    const RoundKeys& keys = held.value;
    load_keys(round_keys, held.value);
    uint8x16_t state = vld1q_u8(chain);
    for (size_t offset = 0; offset + 16 <= length; offset += 16) {
        state = encrypt_block(veorq_u8(vld1q_u8(in + offset), state), keys);
        vst1q_u8(out + offset, state);
    }
    vst1q_u8(chain, state);
}

// CBC decryption has no chain between the block ciphers: eight blocks run
// through the rounds together. All eight are loaded before any result is
// stored, since `out` may lie just before `in`.
TW_ARMV8_CRYPTO_TARGET void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16],
                                        const uint8_t* in, uint8_t* out, size_t length) {
    constexpr int kLanes = 8;
    Wiped<RoundKeys> held;
    const RoundKeys& keys = held.value;
    decryption_keys(round_keys, held.value);
    uint8x16_t previous = vld1q_u8(chain);
    size_t offset = 0;
    for (; offset + 16 * kLanes <= length; offset += 16 * kLanes) {
        uint8x16_t ciphertext[kLanes], blocks[kLanes];
        for (int b = 0; b < kLanes; ++b)
            blocks[b] = ciphertext[b] = vld1q_u8(in + offset + 16 * b);
        decrypt_blocks(blocks, keys);
        vst1q_u8(out + offset, veorq_u8(blocks[0], previous));
        for (int b = 1; b < kLanes; ++b)
            vst1q_u8(out + offset + 16 * b, veorq_u8(blocks[b], ciphertext[b - 1]));
        previous = ciphertext[kLanes - 1];
    }
    for (; offset + 16 <= length; offset += 16) {
        const uint8x16_t ciphertext = vld1q_u8(in + offset);
        uint8x16_t blocks[1] = {ciphertext};
        decrypt_blocks(blocks, keys);
        vst1q_u8(out + offset, veorq_u8(blocks[0], previous));
        previous = ciphertext;
    }
    vst1q_u8(chain, previous);
}

} // namespace tw::lattice::hardware

#endif
