// The greedy quick-open score; see fuzzy.h.
#include "pagecase/core/fuzzy.h"

#include <algorithm>
#include <cassert>

namespace tw::pagecase {
namespace {

constexpr long long kAdjacencyBonus = 5;
constexpr long long kWordStartBonus = 8;
constexpr std::size_t kLengthDivisor = 12;

constexpr std::size_t kNotFound = kNotFoundInText;

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

// Code points of one width: reading one, and finding the first one at or
// after `position` (memchr for single bytes, a plain loop otherwise; each
// search ends at its hit, so the greedy pass stays one pass).
template <typename Char> struct Reader {
    const Char* text;
    std::size_t length;

    std::uint32_t operator()(std::size_t k) const { return text[k]; }

    std::size_t find(std::uint32_t wanted, std::size_t position) const {
        if (position >= length || wanted > static_cast<Char>(-1)) return kNotFound;
        if constexpr (sizeof(Char) == 1) {
            std::string_view rest(reinterpret_cast<const char*>(text) + position,
                                  length - position);
            std::size_t at = memchr_offset(rest, static_cast<char>(wanted));
            return at == rest.size() ? kNotFound : position + at;
        } else {
            const Char* at = std::find(text + position, text + length, static_cast<Char>(wanted));
            return at == text + length ? kNotFound : static_cast<std::size_t>(at - text);
        }
    }
};

// Calls `body` with a reader of the code points, whatever their width.
template <typename Body> auto with_reader(CodePoints text, Body body) {
    switch (text.width) {
    case 1:
        return body(Reader<std::uint8_t>{static_cast<const std::uint8_t*>(text.data), text.length});
    case 2:
        return body(
            Reader<std::uint16_t>{static_cast<const std::uint16_t*>(text.data), text.length});
    default:
        return body(
            Reader<std::uint32_t>{static_cast<const std::uint32_t*>(text.data), text.length});
    }
}

template <typename Needle>
std::optional<long long> score_ascii(const Needle& needle, std::size_t needle_length,
                                     std::string_view candidate) {
    const char* text = candidate.data();
    std::size_t length = candidate.size();
    auto find = [candidate](std::uint32_t wanted, std::size_t position) {
        return find_folded_ascii(candidate, wanted, position, [](std::string_view part, char c) {
            return memchr_offset(part, c);
        });
    };
    auto at = [text](std::size_t k) -> std::uint32_t {
        return static_cast<unsigned char>(text[k]);
    };
    return greedy(needle, needle_length, find, at, length);
}

} // namespace

std::optional<long long> fuzzy_score_lowered(CodePoints needle, CodePoints haystack,
                                             std::size_t candidate_length) {
    assert(needle.length > 0);
    return with_reader(needle, [&](auto needle_at) {
        return with_reader(haystack, [&](auto at) {
            auto find = [at](std::uint32_t wanted, std::size_t position) {
                return at.find(wanted, position);
            };
            return greedy(needle_at, needle.length, find, at, candidate_length);
        });
    });
}

std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate) {
    assert(needle.length > 0);
    return with_reader(
        needle, [&](auto needle_at) { return score_ascii(needle_at, needle.length, candidate); });
}

std::optional<long long> fuzzy_score_ascii(std::string_view query, std::string_view candidate) {
    assert(!query.empty());
    auto needle = [query](std::size_t k) {
        return tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(query[k]));
    };
    return score_ascii(needle, query.size(), candidate);
}

} // namespace tw::pagecase
