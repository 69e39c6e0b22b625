// The token loops on the SHA instructions together with AES or AVX2.
//
// CBC encryption is a chain: each block waits for the one before, so the AES
// unit is mostly idle, waiting on latency. SHA-256 is a chain of its own. Fed
// alternately, four cipher blocks to one message block with four quad-rounds
// after every second AES round, the two chains fill each other's idle cycles
// and the HMAC costs little beyond the encryption. Decoding base64 has no
// chain at all; done with integer table lookups, two groups of four
// characters after each quad-round, it runs on the integer units while the
// SHA rounds occupy the vector ones. (Vector decoding competes with SHA for
// the same units, and the SHA instructions exist only in the legacy SSE
// encoding, which mixed with 256-bit AVX runs very slowly.) Either way the
// hash trails: it only reads message blocks that are already complete.
#include "tw_lattice/core/token_kernels.h"

#if defined(__x86_64__) || defined(__i386__)

#include <algorithm>
#include <array>
#include <cstring>

#include "tw_lattice/core/aes_ni.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/sha256_ni.h"
#include "tw_lattice/core/wipe.h"

#define TW_TOKEN_TARGET __attribute__((target("aes,sha,sse4.1")))
#define TW_DECODE_TARGET __attribute__((target("sha,sse4.1")))

namespace tw::lattice::token::interleaved {
namespace {

using aes_ni::load;
using aes_ni::store;

// One cipher block with quad-rounds First..First+3 of `sha` between its rounds.
template <int First>
TW_TOKEN_TARGET inline __m128i encrypt_block_with(__m128i block, const __m128i k[11],
                                                  sha256::ni::Block& sha) {
    block = _mm_xor_si128(block, k[0]);
    block = _mm_aesenc_si128(_mm_aesenc_si128(block, k[1]), k[2]);
    sha.quad<First>();
    block = _mm_aesenc_si128(_mm_aesenc_si128(block, k[3]), k[4]);
    sha.quad<First + 1>();
    block = _mm_aesenc_si128(_mm_aesenc_si128(block, k[5]), k[6]);
    sha.quad<First + 2>();
    block = _mm_aesenc_si128(_mm_aesenc_si128(block, k[7]), k[8]);
    sha.quad<First + 3>();
    return _mm_aesenclast_si128(_mm_aesenc_si128(block, k[9]), k[10]);
}

// For the character at position k of a group of four: its 6-bit value moved
// to bits 30 - 6k .. 25 - 6k, or the top bit alone when it is in neither
// alphabet. OR-ing the four entries gives the group's 24 bits in bits 30..7,
// and bit 31 when any character is invalid.
// Tables indexed by characters are fine here: token text is public, and key
// text never comes this way (base64.h has the constant-time decoder).
constexpr std::array<std::array<uint32_t, 256>, 4> group_tables() {
    std::array<std::array<uint32_t, 256>, 4> tables{};
    for (size_t k = 0; k < 4; ++k)
        for (size_t c = 0; c < 256; ++c) {
            const int value = c >= 'A' && c <= 'Z'   ? int(c) - 'A'
                              : c >= 'a' && c <= 'z' ? int(c) - 'a' + 26
                              : c >= '0' && c <= '9' ? int(c) - '0' + 52
                              : c == '-' || c == '+' ? 62
                              : c == '_' || c == '/' ? 63
                                                     : -1;
            tables[k][c] = value < 0 ? 0x80000000u : uint32_t(value) << (25 - 6 * k);
        }
    return tables;
}
alignas(64) constexpr auto kGroupTables = group_tables();

// One group of four characters into 3 bytes, writing a fourth that the next
// group overwrites unless `exact`.
template <bool exact = false>
inline void decode_group(const char* text, uint8_t* out, uint32_t& invalid) {
    uint32_t chars;
    std::memcpy(&chars, text, 4);
    const uint32_t bits = kGroupTables[0][chars & 0xff] | kGroupTables[1][(chars >> 8) & 0xff] |
                          kGroupTables[2][(chars >> 16) & 0xff] | kGroupTables[3][chars >> 24];
    invalid |= bits;
    const uint32_t bytes = __builtin_bswap32(bits << 1); // the 24 bits first, in order
    std::memcpy(out, &bytes, exact ? 3 : 4);
}

// One message block's rounds with 21 groups decoded among them: two after
// each of the first ten quad-rounds, one after the eleventh.
TW_DECODE_TARGET inline sha256::ni::Packed block_with_groups(const sha256::ni::Packed& state,
                                                             const uint8_t* message,
                                                             const char* text, uint8_t* out,
                                                             uint32_t& invalid) {
    sha256::ni::Block sha(state, message);
    auto groups = [&](int first, int count) {
        for (int g = first; g < first + count; ++g)
            decode_group(text + 4 * g, out + 3 * g, invalid);
    };
    sha.quad<0>(), groups(0, 2);
    sha.quad<1>(), groups(2, 2);
    sha.quad<2>(), groups(4, 2);
    sha.quad<3>(), groups(6, 2);
    sha.quad<4>(), groups(8, 2);
    sha.quad<5>(), groups(10, 2);
    sha.quad<6>(), groups(12, 2);
    sha.quad<7>(), groups(14, 2);
    sha.quad<8>(), groups(16, 2);
    sha.quad<9>(), groups(18, 2);
    sha.quad<10>(), groups(20, 1);
    sha.quads<11, 5>();
    return sha.result();
}

} // namespace

bool encrypt_usable() {
    static const bool both = aes_hardware_selected() && sha256::hardware_selected();
    return both;
}

bool decode_usable() {
    return sha256::hardware_selected();
}

TW_TOKEN_TARGET void encrypt_hashing(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t blocks,
                                     size_t written, TrailingHash& hash) {
    constexpr size_t kBlock = 16, kMessageBlock = sha256::kBlockSize;
    Wiped<aes_ni::RoundKeys> keys;
    const __m128i* k = keys.value.k;
    aes_ni::load_keys(ctx.RoundKey, keys.value.k);
    __m128i chain = load(ctx.Iv);
    Wiped<sha256::ni::Packed> held(sha256::ni::pack(hash.state));
    sha256::ni::Packed& state = held.value;
    size_t hashed = hash.blocks_done;
    size_t b = 0;
    for (; b + 4 <= blocks; b += 4) {
        const uint8_t* plain = in + kBlock * b;
        uint8_t* cipher = out + kBlock * b;
        if ((hashed + 1) * kMessageBlock > written + kBlock * b) {
            // Nothing final to hash yet (the first blocks of a token).
            for (size_t i = 0; i < 4; ++i) {
                chain = aes_ni::encrypt_block(_mm_xor_si128(load(plain + kBlock * i), chain), k);
                store(cipher + kBlock * i, chain);
            }
            continue;
        }
        sha256::ni::Block sha(state, hash.message + kMessageBlock * hashed);
        chain = encrypt_block_with<0>(_mm_xor_si128(load(plain), chain), k, sha);
        store(cipher, chain);
        chain = encrypt_block_with<4>(_mm_xor_si128(load(plain + 16), chain), k, sha);
        store(cipher + 16, chain);
        chain = encrypt_block_with<8>(_mm_xor_si128(load(plain + 32), chain), k, sha);
        store(cipher + 32, chain);
        chain = encrypt_block_with<12>(_mm_xor_si128(load(plain + 48), chain), k, sha);
        store(cipher + 48, chain);
        state = sha.result();
        ++hashed;
    }
    for (; b < blocks; ++b) {
        chain = aes_ni::encrypt_block(_mm_xor_si128(load(in + kBlock * b), chain), k);
        store(out + kBlock * b, chain);
    }
    store(ctx.Iv, chain);
    sha256::ni::unpack(state, hash.state);
    hash.blocks_done = hashed;
}

TW_DECODE_TARGET bool decode_hashing(const char* text, size_t first, size_t end, uint8_t* out,
                                     size_t hash_size, TrailingHash& hash) {
    // Per round: 64 groups (256 characters, 192 bytes) and three message
    // blocks decoded in earlier rounds, long out of the store buffer. The
    // lead the hash trails by is decoded first, by the wide decoder: there
    // are no rounds to hide it in. A later step finds its lead decoded.
    constexpr size_t kGroupsPerRound = 64, kBlocksPerRound = 3, kLeadRounds = 2;
    constexpr size_t kMessageBlock = sha256::kBlockSize;
    uint32_t invalid = 0;
    size_t q = first;
    bool valid = true;
    if (first == 0) {
        q = std::min(end, kLeadRounds * kGroupsPerRound) / 8 * 8;
        valid = base64::decode_quads(text, q, out);
    }
    Wiped<sha256::ni::Packed> held(sha256::ni::pack(hash.state));
    sha256::ni::Packed& state = held.value;
    size_t hashed = hash.blocks_done;
    const size_t last_block = std::min(hash_size, 3 * end) / kMessageBlock;
    // Strictly fewer: each round's last group writes a byte into the next one.
    for (; q + kGroupsPerRound < end; q += kGroupsPerRound) {
        const char* in = text + 4 * q;
        uint8_t* at = out + 3 * q;
        const bool hash_now = hashed + kBlocksPerRound <= last_block &&
                              (hashed + kLeadRounds * kBlocksPerRound) * kMessageBlock <= 3 * q;
        if (!hash_now) {
            for (size_t g = 0; g < kGroupsPerRound; ++g)
                decode_group(in + 4 * g, at + 3 * g, invalid);
            continue;
        }
        const uint8_t* message = hash.message + kMessageBlock * hashed;
        for (size_t b = 0; b < kBlocksPerRound; ++b)
            state = block_with_groups(state, message + kMessageBlock * b, in + 84 * b, at + 63 * b,
                                      invalid);
        decode_group(in + 4 * 63, at + 3 * 63, invalid);
        hashed += kBlocksPerRound;
    }
    sha256::ni::unpack(state, hash.state);
    hash.blocks_done = hashed;
    // The rest: whole steps by the wide decoder, the last few groups here.
    const size_t wide = (end - q) / 8 * 8;
    valid = base64::decode_quads(text + 4 * q, wide, out + 3 * q) && valid;
    for (q += wide; q < end; ++q)
        decode_group<true>(text + 4 * q, out + 3 * q, invalid);
    return (invalid >> 31) == 0 && valid;
}

} // namespace tw::lattice::token::interleaved

#else // no AES or SHA instructions on this architecture: never used

#include <cstdlib>

namespace tw::lattice::token::interleaved {
bool encrypt_usable() {
    return false;
}
bool decode_usable() {
    return false;
}
void encrypt_hashing(AES_ctx&, const uint8_t*, uint8_t*, size_t, size_t, TrailingHash&) {
    std::abort();
}
bool decode_hashing(const char*, size_t, size_t, uint8_t*, size_t, TrailingHash&) {
    std::abort();
}
} // namespace tw::lattice::token::interleaved

#endif
