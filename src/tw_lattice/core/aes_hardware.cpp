// AES-128-CBC on the x86-64 AES instructions.
//
// Only these functions are compiled for the AES instruction set (per-function
// target attributes); the rest of the module runs on any x86-64 processor,
// and aes.cpp calls in here only after checking the CPU. The key schedule is
// the FIPS-197 one, byte for byte, so contexts are interchangeable with the
// portable path. CBC decryption has no chaining dependency between blocks and
// runs eight blocks through the rounds at once; encryption is inherently
// serial.
#include "tw_lattice/core/aes_paths.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define TW_AES_TARGET __attribute__((target("aes,sse2")))

namespace tw::lattice::hardware {
namespace {

TW_AES_TARGET inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

TW_AES_TARGET inline void store(uint8_t* p, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), value);
}

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

TW_AES_TARGET inline void load_keys(const uint8_t round_keys[176], __m128i out[11]) {
    for (int i = 0; i < 11; ++i)
        out[i] = load(round_keys + 16 * i);
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

} // namespace

bool available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
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

TW_AES_TARGET void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                               size_t length) {
    __m128i k[11];
    load_keys(round_keys, k);
    __m128i state = load(chain);
    for (size_t offset = 0; offset + 16 <= length; offset += 16) {
        state = _mm_xor_si128(_mm_xor_si128(load(buf + offset), state), k[0]);
        for (int r = 1; r < 10; ++r)
            state = _mm_aesenc_si128(state, k[r]);
        state = _mm_aesenclast_si128(state, k[10]);
        store(buf + offset, state);
    }
    store(chain, state);
}

TW_AES_TARGET void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                               size_t length) {
    constexpr int kLanes = 8;
    __m128i dk[11];
    decryption_keys(round_keys, dk);
    __m128i previous = load(chain);
    size_t offset = 0;
    for (; offset + 16 * kLanes <= length; offset += 16 * kLanes) {
        __m128i ciphertext[kLanes], blocks[kLanes];
        for (int b = 0; b < kLanes; ++b)
            blocks[b] = ciphertext[b] = load(buf + offset + 16 * b);
        decrypt_blocks(blocks, dk);
        store(buf + offset, _mm_xor_si128(blocks[0], previous));
        for (int b = 1; b < kLanes; ++b)
            store(buf + offset + 16 * b, _mm_xor_si128(blocks[b], ciphertext[b - 1]));
        previous = ciphertext[kLanes - 1];
    }
    for (; offset + 16 <= length; offset += 16) {
        __m128i ciphertext = load(buf + offset), blocks[1] = {ciphertext};
        decrypt_blocks(blocks, dk);
        store(buf + offset, _mm_xor_si128(blocks[0], previous));
        previous = ciphertext;
    }
    store(chain, previous);
}

} // namespace tw::lattice::hardware

#else // no AES instructions on this architecture: never selected

#include <cstdlib>

namespace tw::lattice::hardware {
bool available() {
    return false;
}
void expand_key(const uint8_t*, uint8_t*) {
    std::abort();
}
void cbc_encrypt(const uint8_t*, uint8_t*, uint8_t*, size_t) {
    std::abort();
}
void cbc_decrypt(const uint8_t*, uint8_t*, uint8_t*, size_t) {
    std::abort();
}
} // namespace tw::lattice::hardware

#endif
