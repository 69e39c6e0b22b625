// The greedy quick-open score; see fuzzy.h.
#include "pagecase/core/fuzzy.h"

#include <cstring>

#include "common/ascii.h"

namespace tw::pagecase {
namespace {

constexpr long long kAdjacencyBonus = 5;
constexpr long long kWordStartBonus = 8;
constexpr std::size_t kLengthDivisor = 12;

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Separators are ASCII and unchanged by lower-casing, so the test may look at
// the candidate's own character.
constexpr bool is_separator(std::uint32_t c) {
    return c == '/' || c == '\\' || c == '_' || c == '-' || c == '.' || c == ' ';
}

// The greedy pass. `find(wanted, position)` is the haystack's first position
// at or after `position` whose lower-cased character is `wanted`, or
// kNotFound; `at(k)` is the haystack's character at k, for the separator test.
template <typename Needle, typename Find, typename At>
std::optional<long long> greedy(const Needle& needle, std::size_t needle_length, Find find, At at,
                                std::size_t candidate_length) {
    long long score = 0;
    std::size_t position = 0;
    bool have_previous = false; // `previous` starts at -2: no adjacency for the first match
    std::size_t previous = 0;
    for (std::size_t k = 0; k < needle_length; ++k) {
        std::size_t found = find(needle(k), position);
        if (found == kNotFound) return std::nullopt;
        if (have_previous && found == previous + 1) score += kAdjacencyBonus;
        if (found == 0 || is_separator(at(found - 1))) score += kWordStartBonus;
        previous = found;
        have_previous = true;
        position = found + 1;
    }
    return score - static_cast<long long>(candidate_length / kLengthDivisor);
}

template <typename Char> auto reader(const void* data) {
    return
        [text = static_cast<const Char*>(data)](std::size_t k) -> std::uint32_t { return text[k]; };
}

// Calls `body` with a reader of the code points, whatever their width.
template <typename Body> auto with_reader(CodePoints text, Body body) {
    switch (text.width) {
    case 1:
        return body(reader<std::uint8_t>(text.data));
    case 2:
        return body(reader<std::uint16_t>(text.data));
    default:
        return body(reader<std::uint32_t>(text.data));
    }
}

// The first k >= position of an ASCII text whose lower-cased byte is
// `wanted`: a plain loop for the usual short distance, memchr for the rest (a
// lower-case letter is found as itself or as its capital).
std::size_t find_ascii(const char* text, std::size_t length, std::uint32_t wanted,
                       std::size_t position) {
    constexpr std::size_t kShortDistance = 16;
    if (wanted >= 0x80) return kNotFound;
    std::size_t near_end = length - position > kShortDistance ? position + kShortDistance : length;
    for (std::size_t k = position; k < near_end; ++k)
        if (tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(text[k])) == wanted)
            return k;
    if (near_end == length) return kNotFound;
    std::size_t end = length;
    if (const void* at = std::memchr(text + near_end, static_cast<int>(wanted), length - near_end))
        end = static_cast<std::size_t>(static_cast<const char*>(at) - text);
    if (wanted >= 'a' && wanted <= 'z')
        if (const void* at = std::memchr(text + near_end, static_cast<int>(wanted - ('a' - 'A')),
                                         end - near_end))
            end = static_cast<std::size_t>(static_cast<const char*>(at) - text);
    return end == length ? kNotFound : end;
}

template <typename Needle>
std::optional<long long> score_ascii(const Needle& needle, std::size_t needle_length,
                                     std::string_view candidate) {
    const char* text = candidate.data();
    std::size_t length = candidate.size();
    auto find = [text, length](std::uint32_t wanted, std::size_t position) {
        return find_ascii(text, length, wanted, position);
    };
    auto at = [text](std::size_t k) -> std::uint32_t {
        return static_cast<unsigned char>(text[k]);
    };
    return greedy(needle, needle_length, find, at, length);
}

} // namespace

std::optional<long long> fuzzy_score_lowered(CodePoints needle, CodePoints haystack,
                                             std::size_t candidate_length) {
    return with_reader(needle, [&](auto needle_at) {
        return with_reader(haystack, [&](auto at) {
            auto find = [&](std::uint32_t wanted, std::size_t position) {
                for (std::size_t k = position; k < haystack.length; ++k)
                    if (at(k) == wanted) return k;
                return kNotFound;
            };
            return greedy(needle_at, needle.length, find, at, candidate_length);
        });
    });
}

std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate) {
    return with_reader(
        needle, [&](auto needle_at) { return score_ascii(needle_at, needle.length, candidate); });
}

std::optional<long long> fuzzy_score_ascii(std::string_view query, std::string_view candidate) {
    auto needle = [query](std::size_t k) {
        return tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(query[k]));
    };
    return score_ascii(needle, query.size(), candidate);
}

} // namespace tw::pagecase
