// The greedy quick-open score; see fuzzy.h.
#include "pagecase/core/fuzzy.h"

#include <algorithm>
#include <cassert>

#include "pagecase/core/find_first_of.h"

namespace tw::pagecase {
namespace {

constexpr long long kAdjacencyBonus = 5;
constexpr long long kWordStartBonus = 8;
constexpr std::size_t kLengthDivisor = 12;

constexpr std::size_t kNotFound = kNotFoundInText;

// What ends a word, in the lower-cased text.
constexpr bool is_separator(std::uint32_t c) {
    return c == '/' || c == '\\' || c == '_' || c == '-' || c == '.' || c == ' ';
}

// Where a search found a needle character: its position in the lower-cased
// candidate, and whether the lower-cased character before it ends a word.
struct Hit {
    enum class Kind { found, absent, needs_context } kind;
    std::size_t at = 0;
    bool after_separator = false;
};

// The greedy pass. `search.next(wanted)` finds `wanted` after the previous
// hit, each character of the lower-cased candidate serving once.
template <typename Needle, typename Search>
LoweringScore greedy(const Needle& needle, std::size_t needle_length, Search& search,
                     std::size_t candidate_length) {
    long long score = 0;
    bool have_previous = false; // `previous` starts at -2: no adjacency for the first match
    std::size_t previous = 0;
    for (std::size_t k = 0; k < needle_length; ++k) {
        const Hit hit = search.next(needle(k));
        if (hit.kind == Hit::Kind::absent) return {};
        if (hit.kind == Hit::Kind::needs_context) return {std::nullopt, true};
        if (have_previous && hit.at == previous + 1) score += kAdjacencyBonus;
        if (hit.at == 0 || hit.after_separator) score += kWordStartBonus;
        previous = hit.at;
        have_previous = true;
    }
    return {score - static_cast<long long>(candidate_length / kLengthDivisor)};
}

// A search over text lower-cased already, or ASCII lower-cased by `find`:
// `find(wanted, position)` is the first position at or after `position`
// whose lower-cased character is `wanted`, or kNotFound; `at(k)` the
// character at k, for the separator test.
template <typename Find, typename At> struct PositionSearch {
    Find find;
    At at;
    std::size_t position = 0;

    Hit next(std::uint32_t wanted) {
        const std::size_t found = find(wanted, position);
        if (found == kNotFound) return {Hit::Kind::absent};
        position = found + 1;
        return {Hit::Kind::found, found, found > 0 && is_separator(at(found - 1))};
    }
};

template <typename Needle, typename Find, typename At>
std::optional<long long> greedy(const Needle& needle, std::size_t needle_length, Find find, At at,
                                std::size_t candidate_length) {
    PositionSearch<Find, At> search{find, at};
    return greedy(needle, needle_length, search, candidate_length).score;
}

// A search over code points lower-cased as they are read. Each step reads
// one code point and moves past it unless part of its form is still to
// serve; beyond the first few steps, find_first_of skips to the next code
// point that could give the character looked for.
template <typename Char> class LoweringSearch {
  public:
    LoweringSearch(const Char* text, std::size_t length, const LowerCase& lower)
        : text_(text), length_(length), lower_(lower) {
        const auto& forms = lower.contextual().forms;
        if (is_separator(forms[0]) == is_separator(forms[1]))
            contextual_ends_word_ = is_separator(forms[0]);
    }

    Hit next(std::uint32_t wanted) {
        if (rest_ > 0) { // the rest of a form whose start served the previous hit
            const LowerForm form = lower_.form(text_[raw_]);
            for (; rest_ < form.size; ++rest_, ++lowered_)
                if (form.points[rest_] == wanted) {
                    const Hit hit{Hit::Kind::found, lowered_, is_separator(form.points[rest_ - 1])};
                    move_past(form, rest_);
                    return hit;
                }
            ++raw_;
            rest_ = 0;
        }
        // A few steps first: a query's next character is often close by.
        constexpr std::size_t kNearby = 4;
        for (const std::size_t nearby_end = raw_ + std::min(kNearby, length_ - raw_);
             raw_ < nearby_end;)
            if (const std::optional<Hit> hit = step(wanted)) return *hit;
        ScanTargets targets;
        const bool skipping = lower_.scan_targets(wanted, static_cast<Char>(-1), targets);
        while (raw_ < length_) {
            if (skipping) {
                const std::size_t next = find_first_of(text_, raw_, length_, targets);
                lowered_ += next - raw_; // each code point skipped has a form of one
                raw_ = next;
                if (raw_ == length_) break;
            }
            if (const std::optional<Hit> hit = step(wanted)) return *hit;
        }
        return {Hit::Kind::absent};
    }

  private:
    // The code point at raw_: a hit, or nothing and moved past.
    std::optional<Hit> step(std::uint32_t wanted) {
        const std::uint32_t c = text_[raw_];
        if (lower_.is_contextual(c)) {
            const auto& forms = lower_.contextual().forms;
            if (wanted == forms[0] || wanted == forms[1]) return Hit{Hit::Kind::needs_context};
            ++raw_, ++lowered_;
            return std::nullopt;
        }
        const LowerForm form = lower_.form(c);
        for (std::size_t k = 0; k < form.size; ++k)
            if (form.points[k] == wanted) {
                Hit hit{Hit::Kind::found, lowered_ + k};
                if (k > 0) {
                    hit.after_separator = is_separator(form.points[k - 1]);
                } else if (raw_ > 0) {
                    const std::optional<bool> before = ends_word(text_[raw_ - 1]);
                    if (!before) return Hit{Hit::Kind::needs_context};
                    hit.after_separator = *before;
                }
                lowered_ += k;
                move_past(form, k);
                return hit;
            }
        ++raw_;
        lowered_ += form.size;
        return std::nullopt;
    }

    // After a hit on form.points[k] of the code point at raw_, with lowered_
    // at that character.
    void move_past(const LowerForm& form, std::size_t k) {
        ++lowered_;
        if (k + 1 < form.size) {
            rest_ = k + 1;
        } else {
            ++raw_;
            rest_ = 0;
        }
    }

    // Whether the form of `c` ends in a separator; nothing when that depends
    // on the contextual code point's neighbours.
    std::optional<bool> ends_word(std::uint32_t c) const {
        if (lower_.is_contextual(c)) return contextual_ends_word_;
        const LowerForm form = lower_.form(c);
        return is_separator(form.points[form.size - 1]);
    }

    const Char* text_;
    std::size_t length_;
    const LowerCase& lower_;
    std::size_t raw_ = 0;     // the code point read next
    std::size_t rest_ = 0;    // how much of its form a hit took already (0: none)
    std::size_t lowered_ = 0; // the position of the next character in the lower-cased text
    std::optional<bool> contextual_ends_word_; // nothing when that depends on its form
};

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

// A one-byte candidate lower-cased by `folding` as the search goes.
template <typename Needle>
std::optional<long long> score_bytes(const Needle& needle, std::size_t needle_length,
                                     std::string_view candidate, const ByteFolding& folding) {
    auto find = [candidate, &folding](std::uint32_t wanted, std::size_t position) {
        return find_folded_byte(candidate, wanted, position, folding);
    };
    auto at = [candidate, &folding](std::size_t k) -> std::uint32_t {
        return folding.lower[static_cast<unsigned char>(candidate[k])];
    };
    return greedy(needle, needle_length, find, at, candidate.size());
}

// A candidate of any width lower-cased as it is read: Latin-1 through the
// byte search where the tables allow it.
template <typename Needle>
LoweringScore score_lowering(const Needle& needle, std::size_t needle_length, CodePoints candidate,
                             const LowerCase& lower) {
    if (candidate.width == 1 && lower.latin1()) {
        const std::string_view bytes(static_cast<const char*>(candidate.data), candidate.length);
        return {score_bytes(needle, needle_length, bytes, *lower.latin1())};
    }
    return with_reader(candidate, [&](auto reader) {
        LoweringSearch search(reader.text, reader.length, lower);
        return greedy(needle, needle_length, search, candidate.length);
    });
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

LoweringScore fuzzy_score_lowering(CodePoints needle, CodePoints candidate,
                                   const LowerCase& lower) {
    assert(needle.length > 0);
    return with_reader(needle, [&](auto needle_at) {
        return score_lowering(needle_at, needle.length, candidate, lower);
    });
}

LoweringScore fuzzy_score_lowering(std::string_view query, CodePoints candidate,
                                   const LowerCase& lower) {
    assert(!query.empty());
    auto needle = [query](std::size_t k) {
        return tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(query[k]));
    };
    return score_lowering(needle, query.size(), candidate, lower);
}

std::optional<long long> fuzzy_score_ascii(CodePoints needle, std::string_view candidate) {
    assert(needle.length > 0);
    return with_reader(needle, [&](auto needle_at) {
        return score_bytes(needle_at, needle.length, candidate, kAsciiFolding);
    });
}

std::optional<long long> fuzzy_score_ascii(std::string_view query, std::string_view candidate) {
    assert(!query.empty());
    auto needle = [query](std::size_t k) {
        return tw::ascii::lower<std::uint32_t>(static_cast<unsigned char>(query[k]));
    };
    return score_bytes(needle, query.size(), candidate, kAsciiFolding);
}

} // namespace tw::pagecase
