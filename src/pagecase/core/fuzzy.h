// The quick-open score: whether a query is a case-insensitive subsequence of a
// candidate, and how well it fits. One greedy left-to-right pass: each query
// character takes its earliest position, earning 5 when it follows the
// previous match directly and 8 at a word start; one point is taken off per
// full 12 characters of the candidate. No Python headers: text arrives as
// code points of 1, 2 or 4 bytes each, lower-cased already or as it is read
// (by the interpreter's tables, lower_case.h), or as ASCII bytes that are
// lower-cased on the fly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/ascii.h"
#include "pagecase/core/lower_case.h"

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

// The first k >= position of a one-byte text whose lower-cased byte
// (`folding`) is `wanted`, or kNotFoundInText: the first of its byte
// sources, the letter and its capital, in one pass that ends at the hit.
inline std::size_t find_folded_byte(std::string_view text, std::uint32_t wanted,
                                    std::size_t position, const ByteFolding& folding) {
    if (wanted > 0xFF || position >= text.size()) return kNotFoundInText;
    const std::int16_t* sources = folding.sources[wanted];
    ScanTargets targets;
    for (std::size_t k = 0; k < 2 && sources[k] != ByteFolding::kNone; ++k)
        targets.values[targets.count++] = static_cast<std::uint32_t>(sources[k]);
    if (targets.count == 0) return kNotFoundInText;
    const std::size_t found = find_first_of(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            position, text.size(), targets);
    return found == text.size() ? kNotFoundInText : found;
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

// A score over a candidate lower-cased as it is read: the score (nothing when
// the needle does not fit), or `needs_context` when the pass met the
// contextual code point where its form mattered (it could give the character
// looked for, or decide a word start): only the whole candidate decides that
// form, so the caller lower-cases it whole instead.
struct LoweringScore {
    std::optional<long long> score;
    bool needs_context = false;
};

// The score of a non-empty lower-cased `needle` in `candidate`, lower-cased
// by `lower` as far as the greedy pass reads it.
LoweringScore fuzzy_score_lowering(CodePoints needle, CodePoints candidate, const LowerCase& lower);
// The same for a non-empty ASCII query, lower-cased while searching.
LoweringScore fuzzy_score_lowering(std::string_view query, CodePoints candidate,
                                   const LowerCase& lower);

// The same for an ASCII candidate, lower-cased while searching; the needle is
// non-empty, lower-cased already, and may hold any code points.
std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate);

// The same for a non-empty ASCII query, lower-cased while searching.
std::optional<long long> fuzzy_score_ascii(std::string_view query, std::string_view candidate);

} // namespace tw::pagecase
