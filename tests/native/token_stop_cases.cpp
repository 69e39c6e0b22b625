// The encryption core's long passes ask between steps whether to go on
// (tw_lattice/core/work_steps.h): a token sealed, decoded and opened on
// either route, a key derivation, a whole message's HMAC and base64. Told to
// go on, they make what they make without a listener, and what the other
// route makes; told to stop, they end with their failure value, and a
// derivation leaves nothing of its key.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"
#include "stop_after.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/pbkdf2.h"
#include "tw_lattice/core/token_format.h"
#include "tw_lattice/core/token_stream.h"
#include "tw_lattice/core/work_steps.h"

namespace {

using native_tests::StopAfter;
namespace base64 = tw::lattice::base64;
namespace token = tw::lattice::token;

// More than 16 steps of work, ending in a partial block.
constexpr size_t kLarge = 16 * tw::lattice::kWorkStepBytes + 1000 + 5;

template <size_t N> std::array<uint8_t, N> counting(uint8_t first, uint8_t step) {
    std::array<uint8_t, N> bytes;
    for (size_t k = 0; k < N; ++k)
        bytes[k] = static_cast<uint8_t>(first + step * k);
    return bytes;
}

struct Sample {
    Sample() : plaintext(kLarge) {
        for (size_t k = 0; k < plaintext.size(); ++k)
            plaintext[k] = static_cast<uint8_t>(k * 131 + (k >> 9));
    }
    std::vector<uint8_t> plaintext;
    const std::array<uint8_t, 32> key = counting<32>(1, 7);
    const std::array<uint8_t, 16> iv = counting<16>(0xa0, 1);
    const uint8_t timestamp[8] = {0, 0, 0, 0, 0x65, 0x43, 0x21, 0x0f};
    const token::CipherKeys keys{key.data(), 16, key.data() + 16};

    std::optional<std::string> sealed() const {
        std::string text(token::text_size(plaintext.size()), '\0');
        if (!token::seal_text(text.data(), keys, timestamp, iv.data(), plaintext.data(),
                              plaintext.size()))
            return std::nullopt;
        return text;
    }
};

bool all_zero(const uint8_t* data, size_t size) {
    for (size_t k = 0; k < size; ++k)
        if (data[k] != 0) return false;
    return true;
}

NATIVE_TEST(a_token_sealed_in_steps_is_the_token_of_the_steps_route) {
    const Sample sample;
    const std::optional<std::string> text = sample.sealed();
    CHECK(text.has_value());
    // The step-by-step route: the authenticated part, its HMAC, its base64.
    std::vector<uint8_t> body(token::authenticated_size(kLarge) + token::kTagSize);
    CHECK(token::seal(body.data(), sample.timestamp, sample.iv.data(), sample.key.data() + 16,
                      sample.plaintext.data(), kLarge));
    CHECK(tw::lattice::hmac::hmac_sha256(sample.key.data(), 16, body.data(),
                                         body.size() - token::kTagSize,
                                         body.data() + body.size() - token::kTagSize));
    std::string expected(base64::encoded_size(body.size()), '\0');
    CHECK(base64::encode(body.data(), body.size(), expected.data()));
    CHECK(text && *text == expected);
    {
        StopAfter never(1000);
        CHECK(sample.sealed() == text);
        CHECK(never.asked >= 16);
    }
    StopAfter stop(3);
    CHECK(!sample.sealed().has_value());
    CHECK_EQ(stop.asked, 4);
}

NATIVE_TEST(a_token_opened_in_steps_gives_its_plaintext_and_stops_when_told) {
    const Sample sample;
    const std::string text = sample.sealed().value_or("");
    const size_t size = base64::canonical_decoded_size(text.data(), text.size()).value_or(0);
    auto decode = [&](std::vector<uint8_t>& raw, uint8_t* tag) {
        raw.assign(size, 0);
        return token::decode_signing(text.data(), text.size(), raw.data(), size,
                                     sample.keys.signing, tag);
    };
    std::vector<uint8_t> raw, again;
    uint8_t tag[token::kTagSize], tag_again[token::kTagSize];
    CHECK(decode(raw, tag));
    CHECK(token::tag_matches(raw.data(), raw.size(), tag));
    {
        StopAfter never(1000);
        CHECK(decode(again, tag_again));
        CHECK(again == raw && std::memcmp(tag, tag_again, sizeof tag) == 0);
        CHECK(never.asked >= 16);
        // Both routes decrypt to the plaintext.
        std::vector<uint8_t> out(token::ciphertext_size(size));
        CHECK(token::open(out.data(), raw.data(), size, sample.key.data() + 16) == kLarge);
        CHECK(std::equal(sample.plaintext.begin(), sample.plaintext.end(), out.begin()));
        const token::Opening opening(raw.data(), size, sample.keys.round_keys.value);
        CHECK(opening.size() == kLarge);
        CHECK(opening.finish(out.data(), raw.data(), size, sample.keys.round_keys.value));
        CHECK(std::equal(sample.plaintext.begin(), sample.plaintext.end(), out.begin()));
    }
    {
        StopAfter stop(2);
        CHECK(!decode(again, tag_again));
    }
    {
        StopAfter stop(2);
        const token::Opening opening(raw.data(), size, sample.keys.round_keys.value);
        std::vector<uint8_t> out(kLarge);
        CHECK(!opening.finish(out.data(), raw.data(), size, sample.keys.round_keys.value));
        CHECK_EQ(stop.asked, 3);
    }
    StopAfter stop(2);
    std::vector<uint8_t> out(token::ciphertext_size(size));
    CHECK(!token::open(out.data(), raw.data(), size, sample.key.data() + 16).has_value());
    CHECK_EQ(stop.asked, 3);
}

NATIVE_TEST(whole_message_hmac_and_base64_stop_when_told) {
    const Sample sample;
    std::string text(base64::encoded_size(kLarge), '\0');
    std::vector<uint8_t> back(kLarge);
    uint8_t tag[32];
    {
        StopAfter stop(0);
        CHECK(!base64::encode(sample.plaintext.data(), kLarge, text.data()));
    }
    CHECK(base64::encode(sample.plaintext.data(), kLarge, text.data()));
    {
        StopAfter stop(1);
        CHECK(!base64::decode(text.data(), text.size(), back.data()));
    }
    CHECK(base64::decode(text.data(), text.size(), back.data()) && back == sample.plaintext);
    StopAfter stop(0);
    CHECK(!tw::lattice::hmac::hmac_sha256(sample.key.data(), 16, sample.plaintext.data(), kLarge,
                                          tag));
}

NATIVE_TEST(key_derivation_asks_between_steps_and_stops_when_told) {
    // hashlib.pbkdf2_hmac("sha256", b"password", b"salt", 100000, 40)
    const std::vector<uint8_t> expected =
        native_tests::from_hex("0394a2ede332c9a13eb82e9b24631604c31df978b4e2f0fbd2c549944f9d79a5"
                               "36ceea9b92c6170c");
    auto derive = [](std::vector<uint8_t>& out) {
        out.assign(40, 0xff);
        return tw::lattice::pbkdf2_hmac_sha256(reinterpret_cast<const uint8_t*>("password"), 8,
                                               reinterpret_cast<const uint8_t*>("salt"), 4, 100000,
                                               out.data(), out.size());
    };
    std::vector<uint8_t> key;
    {
        StopAfter never(1000);
        CHECK(derive(key) && key == expected);
        CHECK_EQ(never.asked, 2 * 48); // two blocks of 100,000 iterations, 2,048 a step
    }
    StopAfter stop(60);
    CHECK(!derive(key));
    CHECK(all_zero(key.data(), key.size())); // nothing of a chain cut short
}

} // namespace
