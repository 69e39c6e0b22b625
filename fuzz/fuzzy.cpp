// The fuzzy score: for ASCII text, every entry point (the ASCII query, the
// code-point needle over an ASCII candidate, and code points of each width on
// both sides) agrees with a straightforward reference of the greedy pass, as
// does each case-folding search of an ASCII candidate; and text beyond ASCII,
// lower-cased as it is read by tables of a stand-in mapping (with an
// expansion, a contextual code point, sources far from their forms and code
// points beyond the tables), scores as the reference does on the text
// lower-cased whole, or asks for the whole text only where the contextual
// code point's form mattered.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "pagecase/core/fuzzy.h"

namespace {

using tw::pagecase::CodePoints;
using tw::pagecase::LowerCase;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string text) {
    for (char& c : text)
        c = lower(c);
    return text;
}

// The score as the Python version computes it, with str.find, literally.
std::optional<long long> reference_score(const std::string& query, const std::string& candidate) {
    if (query.empty()) return 0;
    const std::string haystack = lowered(candidate), needle = lowered(query);
    const std::string separators = "/\\_-. ";
    long long score = 0, position = 0, previous = -2;
    for (char character : needle) {
        const size_t at = haystack.find(character, static_cast<size_t>(position));
        if (at == std::string::npos) return std::nullopt;
        const long long found = static_cast<long long>(at);
        if (found == previous + 1) score += 5;
        if (found == 0 || separators.find(haystack[at - 1]) != std::string::npos) score += 8;
        previous = found;
        position = found + 1;
    }
    return score - static_cast<long long>(candidate.size() / 12);
}

// `text` stored with `width` bytes per code point, as the interpreter keeps
// strings of each kind.
class Stored {
  public:
    Stored(const std::string& text, int width)
        : units_(text.size() * static_cast<size_t>(width) / 4 + 1), length_(text.size()),
          width_(width) {
        auto* bytes = reinterpret_cast<unsigned char*>(units_.data());
        for (size_t k = 0; k < text.size(); ++k) {
            const std::uint32_t c = static_cast<unsigned char>(text[k]);
            if (width == 1) bytes[k] = static_cast<unsigned char>(c);
            if (width == 2)
                reinterpret_cast<std::uint16_t*>(bytes)[k] = static_cast<std::uint16_t>(c);
            if (width == 4) units_[k] = c;
        }
    }

    CodePoints view() const { return {units_.data(), length_, width_}; }

  private:
    std::vector<std::uint32_t> units_; // aligned for every width
    size_t length_;
    int width_;
};

// Follows the greedy pass over `haystack` with the case-folding search: each
// search agrees with a plain search of the lower-cased text.
void check_searches(const std::string& needle, const std::string& candidate) {
    const std::string haystack = lowered(candidate);
    std::size_t position = 0;
    for (char character : needle) {
        const std::size_t found =
            tw::pagecase::find_folded_byte(candidate, static_cast<unsigned char>(character),
                                           position, tw::pagecase::kAsciiFolding);
        const std::size_t expected = haystack.find(character, position);
        TW_FUZZ_CHECK(found ==
                      (expected == std::string::npos ? tw::pagecase::kNotFoundInText : expected));
        if (expected == std::string::npos) return;
        position = expected + 1;
    }
}

// ------------------------------------------------- beyond ASCII, by tables

// A stand-in for the interpreter's simple mapping: ASCII and Latin-1
// capitals, Greek capitals (the capital sigma among them), a capital
// lower-casing to ASCII (as the Kelvin sign does), a block whose forms lie
// far away (as Cherokee's do), and one change beyond the tables.
std::uint32_t simple_lower(std::uint32_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c == 0x212A) return 'k';
    if (c == 0x130) return 'i';
    if (c >= 0x13A0 && c < 0x13F0) return c - 0x13A0 + 0xAB70;
    if (c == 0x20000) return 0x20001;
    return c;
}

constexpr std::uint32_t kSigma = 0x3A3, kSmallSigma = 0x3C3, kFinalSigma = 0x3C2;

const LowerCase& tables() {
    static const LowerCase lower(simple_lower, {{0x130, {{'i', 0x307}, 2}}},
                                 {kSigma, {kSmallSigma, kFinalSigma}});
    return lower;
}

// What the candidates and queries beyond ASCII are made of.
constexpr std::uint32_t kAlphabet[] = {
    'a',    'A',    'i',    'I',    'k',    'x',     '/',     '.',     ' ',     0xE9,
    0xC9,   0xB5,   0xFF,   kSigma, 0x3C3,  0x3C2,   0x3B1,   0x130,   0x307,   0x212A,
    0x13A0, 0x13A1, 0xAB70, 0x4E2D, 0xFFFF, 0x1F600, 0x20000, 0x20001, 0x20002, 0x10FFFF};

using Text = std::vector<std::uint32_t>;

// `text` lower-cased whole, the capital sigma taking `sigma_form`.
Text lowered_whole(const Text& text, std::uint32_t sigma_form) {
    Text out;
    for (std::uint32_t c : text) {
        if (c == kSigma) {
            out.push_back(sigma_form);
        } else if (c == 0x130) {
            out.insert(out.end(), {'i', 0x307});
        } else {
            out.push_back(simple_lower(c));
        }
    }
    return out;
}

std::optional<long long> reference_score(const Text& needle, const Text& haystack,
                                         size_t candidate_length) {
    long long score = 0, previous = -2;
    size_t position = 0;
    for (std::uint32_t character : needle) {
        auto at = std::find(haystack.begin() + static_cast<std::ptrdiff_t>(position),
                            haystack.end(), character);
        if (at == haystack.end()) return std::nullopt;
        const long long found = at - haystack.begin();
        if (found == previous + 1) score += 5;
        if (found == 0 ||
            std::u32string_view(U"/\\_-. ")
                    .find(static_cast<char32_t>(haystack[static_cast<size_t>(found) - 1])) !=
                std::u32string_view::npos)
            score += 8;
        previous = found;
        position = static_cast<size_t>(found) + 1;
    }
    return score - static_cast<long long>(candidate_length / 12);
}

// `text` stored with `width` bytes per code point (each fits).
std::vector<std::uint32_t> stored(const Text& text, int width) {
    std::vector<std::uint32_t> units(text.size() * static_cast<size_t>(width) / 4 + 1);
    for (size_t k = 0; k < text.size(); ++k) {
        if (width == 1)
            reinterpret_cast<std::uint8_t*>(units.data())[k] = static_cast<std::uint8_t>(text[k]);
        if (width == 2)
            reinterpret_cast<std::uint16_t*>(units.data())[k] = static_cast<std::uint16_t>(text[k]);
        if (width == 4) units[k] = text[k];
    }
    return units;
}

void check_lowering(FuzzedDataProvider& input) {
    auto pick = [&input] {
        return kAlphabet[input.ConsumeIntegralInRange<size_t>(0, std::size(kAlphabet) - 1)];
    };
    Text query(input.ConsumeIntegralInRange<size_t>(1, 8));
    for (std::uint32_t& c : query)
        c = pick();
    Text candidate(input.ConsumeIntegralInRange<size_t>(0, 300));
    for (std::uint32_t& c : candidate)
        c = input.ConsumeBool() ? 'x' : pick(); // long runs for the vector search too
    const Text needle = lowered_whole(query, input.ConsumeBool() ? kSmallSigma : kFinalSigma);
    const auto expected =
        reference_score(needle, lowered_whole(candidate, kSmallSigma), candidate.size());
    const bool sigma_mattered =
        expected !=
        reference_score(needle, lowered_whole(candidate, kFinalSigma), candidate.size());
    const std::uint32_t widest =
        candidate.empty() ? 0 : *std::max_element(candidate.begin(), candidate.end());
    const CodePoints needle_points{needle.data(), needle.size(), 4};
    for (int width : {1, 2, 4}) {
        if (widest > (width == 4 ? 0x10FFFFu : (1u << (8 * width)) - 1)) continue;
        const std::vector<std::uint32_t> units = stored(candidate, width);
        const auto scored = tw::pagecase::fuzzy_score_lowering(
            needle_points, {units.data(), candidate.size(), width}, tables());
        if (scored.needs_context) {
            // Only where a capital sigma could have given a sigma looked for.
            TW_FUZZ_CHECK(std::count(candidate.begin(), candidate.end(), kSigma) > 0);
            TW_FUZZ_CHECK(std::count(needle.begin(), needle.end(), kSmallSigma) +
                              std::count(needle.begin(), needle.end(), kFinalSigma) >
                          0);
        } else {
            TW_FUZZ_CHECK(!sigma_mattered && scored.score == expected);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        check_lowering(input);
        return 0;
    }
    std::string query = input.ConsumeRandomLengthString(64);
    std::string candidate = input.ConsumeRemainingBytesAsString();
    for (std::string* text : {&query, &candidate})
        for (char& c : *text)
            c = static_cast<char>(c & 0x7F);

    const std::optional<long long> expected = reference_score(query, candidate);
    if (query.empty()) return 0; // the entry points take a non-empty query
    TW_FUZZ_CHECK(tw::pagecase::fuzzy_score_ascii(query, candidate) == expected);

    const std::string needle = lowered(query), haystack = lowered(candidate);
    check_searches(needle, candidate);
    for (int needle_width : {1, 2, 4}) {
        const Stored stored_needle(needle, needle_width);
        TW_FUZZ_CHECK(tw::pagecase::fuzzy_score_ascii(stored_needle.view(), candidate) == expected);
        for (int haystack_width : {1, 2, 4}) {
            const Stored stored_haystack(haystack, haystack_width);
            TW_FUZZ_CHECK(tw::pagecase::fuzzy_score_lowered(stored_needle.view(),
                                                            stored_haystack.view(),
                                                            candidate.size()) == expected);
        }
    }
    return 0;
}
