// Inline helpers on AVX2 for URL-safe base64: 24 bytes to 32 characters per
// step and back. Include only from files compiled for x86-64; every function
// carries the AVX2 target attribute, so the includer needs no flags.
//
// Encoding: each 128-bit lane takes 12 bytes, shuffled so every 32-bit word
// holds one 3-byte group as (b1, b0, b2, b1); two multiplies move the four
// 6-bit fields into the four bytes, and a 16-entry shuffle table adds the
// offset of each value's run of the alphabet. Decoding: 16-entry tables
// indexed by each character's high and low nibble give its validity and the
// offset to its value, two multiply-adds join four 6-bit values into 24 bits
// per word, and shuffles pack the bytes. Table lookups within a register and
// arithmetic on whole vectors: no branch or address depends on the data.
#pragma once

#include <cstdint>
#include <immintrin.h>

#define TW_AVX2_TARGET __attribute__((target("avx2")))

namespace tw::lattice::base64::avx2 {

TW_AVX2_TARGET inline __m256i encode_step(__m256i bytes) {
    // Per lane: groups at bytes 0, 3, 6 and 9 to words (b1, b0, b2, b1).
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                            5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14);
    const __m256i groups = _mm256_shuffle_epi8(bytes, spread);
    // As 16-bit halves, (b0 b1) and (b1 b2): bits 15..10 and 9..4 of the
    // first, 11..6 and 5..0 of the second are the four values.
    const __m256i first_and_third = _mm256_mulhi_epu16(
        _mm256_and_si256(groups, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
    const __m256i second_and_fourth = _mm256_mullo_epi16(
        _mm256_and_si256(groups, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(first_and_third, second_and_fourth);
    // Offset index: 13 for 0..25, 0 for 26..51, 1..12 for 52..63.
    __m256i index = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    const __m256i below_26 = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
    index = _mm256_or_si256(index, _mm256_and_si256(below_26, _mm256_set1_epi8(13)));
    const __m256i offsets =
        _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '-' - 62, '_' - 63, 'A', 0, 0, //
                         'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '-' - 62, '_' - 63, 'A', 0, 0);
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, index));
}

// A 16-entry table in both lanes.
TW_AVX2_TARGET inline __m256i lanes(const __m128i table) {
    return _mm256_broadcastsi128_si256(table);
}

// Both alphabets: for a character with high nibble h and low nibble l,
// invalid_low[l] & invalid_high[h] is non-zero exactly when it is not one of
// them. Each high nibble has a bit (4 and 6 share one), set in invalid_low for
// the low nibbles that make no character of the alphabets with it; nibbles 0,
// 1 and 8 to 15 have the bit that every low nibble carries.
struct DecodeTables {
    __m256i invalid_low, invalid_high, offset_high, fix_low, fix_high, nibble;
    TW_AVX2_TARGET DecodeTables()
        : invalid_low(lanes(_mm_setr_epi8(0x25, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21,
                                          0x21, 0x23, 0x3a, 0x3b, 0x3a, 0x3b, 0x32))),
          invalid_high(lanes(_mm_setr_epi8(0x20, 0x20, 0x01, 0x02, 0x04, 0x08, 0x04, 0x10, 0x20,
                                           0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20))),
          // The value is the character plus an offset by high nibble: digits
          // +4, 'A'..'Z' -65, 'a'..'z' -71; for high nibbles 2 and 5 the low
          // nibble adds a correction, giving 62 for '+' and '-', 63 for '/'
          // and '_'.
          offset_high(
              lanes(_mm_setr_epi8(0, 0, -17, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0))),
          fix_low(lanes(_mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 34, 0, 33))),
          fix_high(lanes(_mm_setr_epi8(0, 0, -1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0))),
          nibble(_mm256_set1_epi8(0x0f)) {}
};

// The 6-bit values of 32 characters; invalid characters set bits in `invalid`.
TW_AVX2_TARGET inline __m256i values_of(__m256i c, const DecodeTables& t, __m256i& invalid) {
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), t.nibble);
    const __m256i low = _mm256_and_si256(c, t.nibble);
    invalid = _mm256_or_si256(invalid, _mm256_and_si256(_mm256_shuffle_epi8(t.invalid_low, low),
                                                        _mm256_shuffle_epi8(t.invalid_high, high)));
    const __m256i fix = _mm256_and_si256(_mm256_shuffle_epi8(t.fix_low, low),
                                         _mm256_shuffle_epi8(t.fix_high, high));
    return _mm256_add_epi8(_mm256_add_epi8(c, _mm256_shuffle_epi8(t.offset_high, high)), fix);
}

// Four 6-bit values per word into 3 bytes, 24 bytes in all, stored in order.
TW_AVX2_TARGET inline void store_packed(__m256i values, uint8_t* out) {
    // (v0 << 6 | v1) per 16 bits, then (v0 v1) << 12 | (v2 v3) per 32 bits.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    // Each word holds its 3 bytes in reverse: gather them in order, 12 per
    // lane, then the two lanes' 12 bytes side by side.
    const __m256i packed = _mm256_shuffle_epi8(
        words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, //
                                2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    const __m256i joined =
        _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(joined));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(joined, 1));
}

} // namespace tw::lattice::base64::avx2
