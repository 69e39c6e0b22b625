// URL-safe base64. The canonical decoder against a plain reading of RFC 4648
// for every input: it accepts exactly the canonical texts (both alphabets,
// at most two "=" at the end) and decodes them as the definition says, unused
// bits dropped. The encoder gives what decodes back to its input, the same
// out of place and in place from the tail of its own output. CPython 3.10's
// lenient reading (base64_310.h) agrees with the canonical decoder wherever
// that accepts, and never writes past its bound.
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "check.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/base64_310.h"

namespace {

namespace base64 = tw::lattice::base64;

int value_of(char c) {
    static constexpr std::string_view urlsafe =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    if (c == '+') return 62;
    if (c == '/') return 63;
    const size_t at = urlsafe.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The canonical reading: nothing unless whole groups of alphabet characters
// with at most two "=" ending the last group.
std::optional<std::vector<uint8_t>> reference_decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    while (padding < text.size() && padding < 3 && text[text.size() - 1 - padding] == '=')
        ++padding;
    if (padding == 3) return std::nullopt;
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int held = 0;
    for (size_t k = 0; k < text.size() - padding; ++k) {
        const int value = value_of(text[k]);
        if (value < 0) return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<uint8_t>(bits >> held));
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::vector<uint8_t>> expected = reference_decode(text);
    const std::optional<size_t> decoded_size = base64::canonical_decoded_size(text.data(), size);
    std::vector<uint8_t> decoded(size / 4 * 3 + 1);
    const bool canonical = decoded_size && base64::decode(text.data(), size, decoded.data());
    TW_FUZZ_CHECK(canonical == expected.has_value());
    if (canonical) {
        TW_FUZZ_CHECK(*decoded_size == expected->size());
        TW_FUZZ_CHECK(expected->empty() ||
                      std::memcmp(decoded.data(), expected->data(), expected->size()) == 0);
    }

    std::vector<uint8_t> lenient(base64::decoded_bound_310(size));
    const base64::Decoded310 read = base64::decode_as_310(text.data(), size, lenient.data());
    TW_FUZZ_CHECK(read.size <= lenient.size());
    if (canonical) {
        TW_FUZZ_CHECK(read.refusal == base64::Refusal::none && read.size == expected->size());
        TW_FUZZ_CHECK(expected->empty() ||
                      std::memcmp(lenient.data(), expected->data(), expected->size()) == 0);
    }

    // The input as bytes to encode, out of place and in place.
    const size_t encoded_size = base64::encoded_size(size);
    std::vector<char> encoded(encoded_size + 1), in_place(encoded_size + 1);
    base64::encode(data, size, encoded.data());
    if (size) std::memcpy(in_place.data() + encoded_size - size, data, size);
    const auto* tail = reinterpret_cast<const uint8_t*>(in_place.data() + encoded_size - size);
    base64::encode_groups(tail, size / 3, in_place.data());
    base64::encode_tail(tail + size / 3 * 3, size % 3, in_place.data() + size / 3 * 4);
    TW_FUZZ_CHECK(std::memcmp(encoded.data(), in_place.data(), encoded_size) == 0);
    const auto round_trip = reference_decode(std::string_view(encoded.data(), encoded_size));
    TW_FUZZ_CHECK(round_trip && round_trip->size() == size &&
                  (size == 0 || std::memcmp(round_trip->data(), data, size) == 0));
    return 0;
}
