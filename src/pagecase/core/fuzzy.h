// The quick-open score: whether a query is a case-insensitive subsequence of a
// candidate, and how well it fits. One greedy left-to-right pass: each query
// character takes its earliest position, earning 5 when it follows the
// previous match directly and 8 at a word start; one point is taken off per
// full 12 characters of the candidate. No Python headers: text arrives as
// code points of 1, 2 or 4 bytes each, already lower-cased, or as ASCII bytes
// that are lower-cased on the fly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/ascii.h"

namespace tw::pagecase {

// A run of code points stored with a fixed width (1, 2 or 4 bytes each).
struct CodePoints {
    const void* data;
    std::size_t length;
    int width;

    std::uint32_t at(std::size_t k) const {
        switch (width) {
        case 1:
            return static_cast<const std::uint8_t*>(data)[k];
        case 2:
            return static_cast<const std::uint16_t*>(data)[k];
        default:
            return static_cast<const std::uint32_t*>(data)[k];
        }
    }
};

constexpr std::size_t kNotFoundInText = static_cast<std::size_t>(-1);

// The first k >= position of an ASCII text whose lower-cased byte is `wanted`,
// or kNotFoundInText. A plain loop covers the usual short distance. Beyond it
// `find_byte` (memchr, or a counting stand-in) looks for the letter and for
// its capital in windows that double in size, the capital only up to the
// letter's hit: the bytes looked at stay within a small multiple of the
// distance travelled, so a pass of greedy searches is linear in the length
// of the text, whichever case comes first.
template <typename FindByte>
std::size_t find_folded_ascii(std::string_view text, std::uint32_t wanted, std::size_t position,
                              FindByte find_byte) {
    constexpr std::size_t kShortDistance = 16, kFirstWindow = 64;
    const bool capital_wanted = wanted >= 'A' && wanted <= 'Z'; // no lower-cased byte is one
    if (wanted >= 0x80 || capital_wanted || position >= text.size()) return kNotFoundInText;
    const std::size_t near_end = position + std::min(kShortDistance, text.size() - position);
    for (std::size_t k = position; k < near_end; ++k)
        if (tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(text[k])) == wanted)
            return k;
    const bool has_capital = wanted >= 'a' && wanted <= 'z';
    const char letter = static_cast<char>(wanted);
    const char capital = static_cast<char>(wanted - ('a' - 'A'));
    std::size_t window = kFirstWindow;
    for (std::size_t start = near_end; start < text.size(); start += window, window *= 2) {
        const std::string_view part = text.substr(start, window);
        std::size_t hit = find_byte(part, letter);
        if (has_capital)
            if (std::size_t first = find_byte(part.substr(0, hit), capital); first < hit)
                hit = first;
        if (hit < part.size()) return start + hit;
    }
    return kNotFoundInText;
}

// The offset of the first `c` in `text`, or its length.
inline std::size_t memchr_offset(std::string_view text, char c) {
    const void* at = std::memchr(text.data(), static_cast<unsigned char>(c), text.size());
    return at ? static_cast<std::size_t>(static_cast<const char*>(at) - text.data()) : text.size();
}

// The score of a non-empty lower-cased `needle` in a lower-cased `haystack`;
// `candidate_length` is the length of the candidate before lower-casing.
// Nothing when the needle does not fit.
std::optional<long long> fuzzy_score_lowered(CodePoints needle, CodePoints haystack,
                                             std::size_t candidate_length);

// The same for an ASCII candidate, lower-cased while searching; the needle is
// non-empty, lower-cased already, and may hold any code points.
std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate);

// The same for a non-empty ASCII query, lower-cased while searching.
std::optional<long long> fuzzy_score_ascii(std::string_view query, std::string_view candidate);

} // namespace tw::pagecase
