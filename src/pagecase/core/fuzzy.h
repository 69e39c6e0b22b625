// The quick-open score: whether a query is a case-insensitive subsequence of a
// candidate, and how well it fits. One greedy left-to-right pass: each query
// character takes its earliest position, earning 5 when it follows the
// previous match directly and 8 at a word start; one point is taken off per
// full 12 characters of the candidate. No Python headers: text arrives as
// code points of 1, 2 or 4 bytes each, already lower-cased, or as ASCII bytes
// that are lower-cased on the fly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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
