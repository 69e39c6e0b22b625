// AES-128-CBC on the x86-64 AES instructions.
//
// Only these functions are compiled for the AES instruction set (per-function
// target attributes); the rest of the module runs on any x86-64 processor,
// and aes.cpp calls in here only after checking the CPU. The key schedule is
// the FIPS-197 one, byte for byte, so contexts are interchangeable with the
// portable path. CBC decryption has no chaining dependency between blocks and
// runs eight blocks through the rounds at once, or sixteen in pairs where the
// processor has the 256-bit AES instructions (VAES); encryption is
// inherently serial. The round keys the functions hold on the stack are wiped
// when they go (Wiped).
#include "tw_lattice/core/aes_paths.h"

#if defined(__x86_64__) || defined(__i386__)

#include "common/platform/platform.h"
#include "tw_lattice/core/aes_ni.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::hardware {
namespace {

using aes_ni::load;
using aes_ni::load_keys;
using aes_ni::store;

using aes_ni::RoundKeys;

// The round keys in both halves of 256-bit registers (as RoundKeys).
struct WideRoundKeys {
    __m256i k[11];
};

// One step of the key expansion: AESKEYGENASSIST gives SubWord(RotWord(w3))
// ^ Rcon in its top word; the running XOR of the four previous words then
// yields the next four.
template <int RoundConstant> TW_AES_TARGET inline __m128i next_round_key(__m128i key) {
    const __m128i assist = _mm_shuffle_epi32(_mm_aeskeygenassist_si128(key, RoundConstant), 0xff);
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    key = _mm_xor_si128(key, _mm_slli_si128(key, 4));
    return _mm_xor_si128(key, assist);
}

// The equivalent inverse cipher (FIPS-197 5.3.5) that AESDEC implements wants
// the middle round keys passed through InvMixColumns, in reverse order.
TW_AES_TARGET inline void decryption_keys(const uint8_t round_keys[176], __m128i out[11]) {
    out[0] = load(round_keys + 160);
    for (int i = 1; i < 10; ++i)
        out[i] = _mm_aesimc_si128(load(round_keys + 16 * (10 - i)));
    out[10] = load(round_keys);
}

// The inverse cipher on `Count` independent blocks, interleaved round by round
// so the AESDEC latencies overlap.
template <int Count>
TW_AES_TARGET inline void decrypt_blocks(__m128i (&blocks)[Count], const __m128i dk[11]) {
    for (int b = 0; b < Count; ++b)
        blocks[b] = _mm_xor_si128(blocks[b], dk[0]);
    for (int r = 1; r < 10; ++r)
        for (int b = 0; b < Count; ++b)
            blocks[b] = _mm_aesdec_si128(blocks[b], dk[r]);
    for (int b = 0; b < Count; ++b)
        blocks[b] = _mm_aesdeclast_si128(blocks[b], dk[10]);
}

#define TW_VAES_TARGET __attribute__((target("vaes,avx2,aes")))

// VAES with AVX2, the operating system's saving of the 256-bit registers
// included.
bool wide_available() {
    return tw::platform::cpu_features().vaes;
}

// CBC decryption sixteen blocks at a time, two per 256-bit register. Each
// result is XORed with the ciphertext block before it, taken from the
// registers already loaded, so `out` may lie just before `in`.
TW_VAES_TARGET void cbc_decrypt_wide(const uint8_t round_keys[176], uint8_t chain[16],
                                     const uint8_t* in, uint8_t* out, size_t length) {
    constexpr int kPairs = 8;
    constexpr size_t kBatch = 32 * kPairs;
    Wiped<RoundKeys> held;
    Wiped<WideRoundKeys> wide_held;
    __m128i* dk = held.value.k;
    __m256i* wide_keys = wide_held.value.k;
    decryption_keys(round_keys, dk);
    for (int r = 0; r < 11; ++r)
        wide_keys[r] = _mm256_broadcastsi128_si256(dk[r]);
    __m128i previous = load(chain);
    size_t offset = 0;
    for (; offset + kBatch <= length; offset += kBatch) {
        __m256i ciphertext[kPairs], blocks[kPairs];
        for (int p = 0; p < kPairs; ++p)
            blocks[p] = ciphertext[p] =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + offset + 32 * p));
        for (int p = 0; p < kPairs; ++p)
            blocks[p] = _mm256_xor_si256(blocks[p], wide_keys[0]);
        for (int r = 1; r < 10; ++r)
            for (int p = 0; p < kPairs; ++p)
                blocks[p] = _mm256_aesdec_epi128(blocks[p], wide_keys[r]);
        for (int p = 0; p < kPairs; ++p)
            blocks[p] = _mm256_aesdeclast_epi128(blocks[p], wide_keys[10]);
        __m256i before = _mm256_set_m128i(_mm256_castsi256_si128(ciphertext[0]), previous);
        for (int p = 0; p < kPairs; ++p) {
            if (p) before = _mm256_permute2x128_si256(ciphertext[p - 1], ciphertext[p], 0x21);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + offset + 32 * p),
                                _mm256_xor_si256(blocks[p], before));
        }
        previous = _mm256_extracti128_si256(ciphertext[kPairs - 1], 1);
    }
    for (; offset + 16 <= length; offset += 16) {
        __m128i ciphertext = load(in + offset), blocks[1] = {ciphertext};
        decrypt_blocks(blocks, dk);
        store(out + offset, _mm_xor_si128(blocks[0], previous));
        previous = ciphertext;
    }
    store(chain, previous);
}

} // namespace

bool available() {
    return tw::platform::cpu_features().aes;
}

TW_AES_TARGET void expand_key(const uint8_t key[16], uint8_t round_keys[176]) {
    __m128i k = load(key);
    store(round_keys, k);
    k = next_round_key<0x01>(k), store(round_keys + 16, k);
    k = next_round_key<0x02>(k), store(round_keys + 32, k);
    k = next_round_key<0x04>(k), store(round_keys + 48, k);
    k = next_round_key<0x08>(k), store(round_keys + 64, k);
    k = next_round_key<0x10>(k), store(round_keys + 80, k);
    k = next_round_key<0x20>(k), store(round_keys + 96, k);
    k = next_round_key<0x40>(k), store(round_keys + 112, k);
    k = next_round_key<0x80>(k), store(round_keys + 128, k);
    k = next_round_key<0x1b>(k), store(round_keys + 144, k);
    k = next_round_key<0x36>(k), store(round_keys + 160, k);
}

TW_AES_TARGET void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in,
                               uint8_t* out, size_t length) {
    Wiped<RoundKeys> held;
    __m128i* k = held.value.k;
    load_keys(round_keys, k);
    __m128i state = load(chain);
    for (size_t offset = 0; offset + 16 <= length; offset += 16) {
        state = aes_ni::encrypt_block(_mm_xor_si128(load(in + offset), state), k);
        store(out + offset, state);
    }
    store(chain, state);
}

TW_AES_TARGET void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in,
                               uint8_t* out, size_t length) {
    static const bool wide = wide_available();
    if (wide) return cbc_decrypt_wide(round_keys, chain, in, out, length);
    constexpr int kLanes = 8;
    Wiped<RoundKeys> held;
    __m128i* dk = held.value.k;
    decryption_keys(round_keys, dk);
    __m128i previous = load(chain);
    size_t offset = 0;
    for (; offset + 16 * kLanes <= length; offset += 16 * kLanes) {
        // All eight blocks are loaded before any result is stored: `out` may
        // lie just before `in`.
        __m128i ciphertext[kLanes], blocks[kLanes];
        for (int b = 0; b < kLanes; ++b)
            blocks[b] = ciphertext[b] = load(in + offset + 16 * b);
        decrypt_blocks(blocks, dk);
        store(out + offset, _mm_xor_si128(blocks[0], previous));
        for (int b = 1; b < kLanes; ++b)
            store(out + offset + 16 * b, _mm_xor_si128(blocks[b], ciphertext[b - 1]));
        previous = ciphertext[kLanes - 1];
    }
    for (; offset + 16 <= length; offset += 16) {
        __m128i ciphertext = load(in + offset), blocks[1] = {ciphertext};
        decrypt_blocks(blocks, dk);
        store(out + offset, _mm_xor_si128(blocks[0], previous));
        previous = ciphertext;
    }
    store(chain, previous);
}

} // namespace tw::lattice::hardware

#elif !defined(__aarch64__) // no AES instructions here: never selected
// (arm64 has its own, in aes_armv8.cpp)

#include <cstdlib>

namespace tw::lattice::hardware {
bool available() {
    return false;
}
void expand_key(const uint8_t*, uint8_t*) {
    std::abort();
}
void cbc_encrypt(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t) {
    std::abort();
}
void cbc_decrypt(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t) {
    std::abort();
}
} // namespace tw::lattice::hardware

#endif
