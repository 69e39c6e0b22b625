// The greedy quick-open score; see fuzzy.h.
#include "pagecase/fuzzy.h"

namespace pagecase {
namespace {

constexpr long long kAdjacencyBonus = 5;
constexpr long long kWordStartBonus = 8;
constexpr std::size_t kLengthDivisor = 12;

constexpr bool is_separator(std::uint32_t c) {
    return c == '/' || c == '\\' || c == '_' || c == '-' || c == '.' || c == ' ';
}

constexpr std::uint32_t lower_ascii(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// `haystack` and `needle` are indexable sequences of code points; `lower`
// is applied to each haystack character as it is read.
template <typename Needle, typename Haystack, typename Lower>
std::optional<long long> greedy(const Needle& needle, std::size_t needle_length, const Haystack& haystack,
                                std::size_t haystack_length, std::size_t candidate_length, Lower lower) {
    long long score = 0;
    std::size_t position = 0;
    bool have_previous = false;  // `previous` starts at -2: no adjacency for the first match
    std::size_t previous = 0;
    for (std::size_t k = 0; k < needle_length; ++k) {
        std::uint32_t wanted = needle(k);
        std::size_t found = position;
        while (found < haystack_length && lower(haystack(found)) != wanted) ++found;
        if (found >= haystack_length) return std::nullopt;
        if (have_previous && found == previous + 1) score += kAdjacencyBonus;
        if (found == 0 || is_separator(lower(haystack(found - 1)))) score += kWordStartBonus;
        previous = found;
        have_previous = true;
        position = found + 1;
    }
    return score - static_cast<long long>(candidate_length / kLengthDivisor);
}

template <typename Char>
auto reader(const void* data) {
    return [text = static_cast<const Char*>(data)](std::size_t k) -> std::uint32_t { return text[k]; };
}

template <typename Haystack, typename Lower>
std::optional<long long> with_needle(CodePoints needle, const Haystack& haystack, std::size_t haystack_length,
                                     std::size_t candidate_length, Lower lower) {
    switch (needle.width) {
    case 1: return greedy(reader<std::uint8_t>(needle.data), needle.length, haystack, haystack_length, candidate_length, lower);
    case 2: return greedy(reader<std::uint16_t>(needle.data), needle.length, haystack, haystack_length, candidate_length, lower);
    default: return greedy(reader<std::uint32_t>(needle.data), needle.length, haystack, haystack_length, candidate_length, lower);
    }
}

}  // namespace

std::optional<long long> fuzzy_score_lowered(CodePoints needle, CodePoints haystack, std::size_t candidate_length) {
    auto same = [](std::uint32_t c) { return c; };
    switch (haystack.width) {
    case 1: return with_needle(needle, reader<std::uint8_t>(haystack.data), haystack.length, candidate_length, same);
    case 2: return with_needle(needle, reader<std::uint16_t>(haystack.data), haystack.length, candidate_length, same);
    default: return with_needle(needle, reader<std::uint32_t>(haystack.data), haystack.length, candidate_length, same);
    }
}

std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate) {
    return with_needle(needle, reader<std::uint8_t>(candidate.data()), candidate.size(), candidate.size(),
                       lower_ascii);
}

}  // namespace pagecase
