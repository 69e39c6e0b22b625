// The fuzzy score: for ASCII text, every entry point (the ASCII query, the
// code-point needle over an ASCII candidate, and code points of each width on
// both sides) agrees with a straightforward reference of the greedy pass; and
// the case-folding search of an ASCII candidate looks at no more bytes than a
// small multiple of the distance it travels, so that a whole pass stays
// linear however the letters and capitals are spread.
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

// Follows the greedy pass over `haystack` with the case-folding search,
// counting the bytes it hands to its byte search: each search agrees with a
// plain search of the lower-cased text and looks at no more than four times
// the distance it travels, plus a constant.
void check_search_work(const std::string& needle, const std::string& candidate) {
    const std::string haystack = lowered(candidate);
    std::size_t examined = 0;
    auto counting = [&examined](std::string_view part, char c) {
        examined += part.size();
        const std::size_t at = part.find(c);
        return at == std::string_view::npos ? part.size() : at;
    };
    std::size_t position = 0;
    for (char character : needle) {
        examined = 0;
        const std::size_t found = tw::pagecase::find_folded_ascii(
            candidate, static_cast<unsigned char>(character), position, counting);
        const std::size_t expected = haystack.find(character, position);
        TW_FUZZ_CHECK(found ==
                      (expected == std::string::npos ? tw::pagecase::kNotFoundInText : expected));
        const std::size_t travelled = (expected == std::string::npos ? haystack.size() : expected) -
                                      std::min(position, haystack.size());
        TW_FUZZ_CHECK(examined <= 4 * travelled + 256);
        if (expected == std::string::npos) return;
        position = expected + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string query = input.ConsumeRandomLengthString(64);
    std::string candidate = input.ConsumeRemainingBytesAsString();
    for (std::string* text : {&query, &candidate})
        for (char& c : *text)
            c = static_cast<char>(c & 0x7F);

    const std::optional<long long> expected = reference_score(query, candidate);
    if (query.empty()) return 0; // the entry points take a non-empty query
    TW_FUZZ_CHECK(tw::pagecase::fuzzy_score_ascii(query, candidate) == expected);

    const std::string needle = lowered(query), haystack = lowered(candidate);
    check_search_work(needle, candidate);
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
