// Known answers of the cores' text work: URL-safe base64, the token layout
// sealed and opened (the generation vector of the shared test data, and one
// of our own), and the fuzzy score's worked cases.
#include <cstring>
#include <string>

#include "harness.h"
#include "pagecase/core/fuzzy.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/token_format.h"
#include "tw_lattice/core/token_stream.h"

namespace {

using native_tests::from_hex;
using native_tests::to_hex;
namespace base64 = tw::lattice::base64;
namespace token = tw::lattice::token;

// ------------------------------------------------------------- base64

std::string encoded(const std::vector<uint8_t>& bytes) {
    std::string text(base64::encoded_size(bytes.size()), '\0');
    base64::encode(bytes.data(), bytes.size(), text.data());
    return text;
}

std::optional<std::vector<uint8_t>> decoded(std::string_view text) {
    std::optional<size_t> size = base64::canonical_decoded_size(text.data(), text.size());
    if (!size) return std::nullopt;
    std::vector<uint8_t> bytes(*size);
    if (!base64::decode(text.data(), text.size(), bytes.data())) return std::nullopt;
    return bytes;
}

NATIVE_TEST(base64_url_safe_known_answers) {
    CHECK_EQ(encoded({}), std::string(""));
    CHECK_EQ(encoded(native_tests::bytes_of("f")), std::string("Zg=="));
    CHECK_EQ(encoded(native_tests::bytes_of("fo")), std::string("Zm8="));
    CHECK_EQ(encoded(native_tests::bytes_of("foobar")), std::string("Zm9vYmFy"));
    // The two characters that differ from the standard alphabet.
    CHECK_EQ(encoded(from_hex("fafbfcfdfeff fbff")), std::string("-vv8_f7_-_8="));
    CHECK(decoded("-vv8_f7_-_8=") == from_hex("fafbfcfdfeff fbff"));
    // Long enough for the 24-byte steps of the wide path, and its tail.
    std::vector<uint8_t> long_input(1000);
    for (size_t k = 0; k < long_input.size(); ++k)
        long_input[k] = static_cast<uint8_t>(k * 31 + 7);
    CHECK(decoded(encoded(long_input)) == long_input);
}

NATIVE_TEST(base64_text_that_is_not_canonical_is_refused) {
    // Set bits after the last byte are ignored, as base64.urlsafe_b64decode
    // ignores them; a shape or a character it would not take is refused.
    CHECK(decoded("Zh==") == native_tests::bytes_of("f"));
    CHECK(!decoded("Zg=")); // not whole groups
    CHECK(!decoded("Z==="));
    CHECK(!decoded("Zm9v YmFy"));  // a space
    CHECK(!decoded("Zm9v\nYmFy")); // a line break
    CHECK(!decoded("Zm9vYm$y"));   // outside both alphabets
}

// -------------------------------------------------------------- tokens

struct TokenVector {
    std::string secret; // base64 of the signing key and then the encryption key
    uint64_t time;      // seconds since the epoch
    std::vector<uint8_t> iv;
    std::string plaintext;
    std::string token; // the expected text
};

void check_token(const TokenVector& vector) {
    std::optional<std::vector<uint8_t>> secret = decoded(vector.secret);
    CHECK(secret && secret->size() == 32);
    if (!secret || secret->size() != 32) return;
    const token::CipherKeys keys(secret->data(), 16, secret->data() + 16);
    uint8_t timestamp[8];
    for (int k = 0; k < 8; ++k)
        timestamp[k] = static_cast<uint8_t>(vector.time >> (56 - 8 * k));
    const auto* plaintext = reinterpret_cast<const uint8_t*>(vector.plaintext.data());
    std::string text(token::text_size(vector.plaintext.size()), '\0');
    token::seal_text(text.data(), keys, timestamp, vector.iv.data(), plaintext,
                     vector.plaintext.size());
    CHECK_EQ(text, vector.token);

    // Opened again: decoded while signed, the tag compared, the last block first.
    std::optional<size_t> size = base64::canonical_decoded_size(text.data(), text.size());
    CHECK(size.has_value());
    if (!size) return;
    std::vector<uint8_t> raw(*size);
    uint8_t tag[token::kTagSize];
    CHECK(
        token::decode_signing(text.data(), text.size(), raw.data(), raw.size(), keys.signing, tag));
    CHECK(token::has_token_format(raw.data(), raw.size()));
    CHECK(token::tag_matches(raw.data(), raw.size(), tag));
    CHECK_EQ(token::timestamp_of(raw.data()), vector.time);
    const token::Opening opening(raw.data(), raw.size(), keys.round_keys.value);
    CHECK(opening.size() == vector.plaintext.size());
    std::string opened(vector.plaintext.size(), '\0');
    opening.finish(reinterpret_cast<uint8_t*>(opened.data()), raw.data(), raw.size(),
                   keys.round_keys.value);
    CHECK_EQ(opened, vector.plaintext);
    // A changed byte of the ciphertext no longer carries the tag.
    token::decode_signing(text.data(), text.size(), raw.data(), raw.size(), keys.signing, tag);
    raw[token::kCiphertextOffset] ^= 1;
    token::sign(raw.data(), raw.size(), keys.signing, tag);
    raw[token::kCiphertextOffset] ^= 1;
    CHECK(!token::tag_matches(raw.data(), raw.size(), tag));
}

NATIVE_TEST(token_sealed_and_opened_inline) {
    std::vector<uint8_t> key(32), iv(16);
    for (uint8_t k = 0; k < 32; ++k)
        key[k] = k;
    for (uint8_t k = 0; k < 16; ++k)
        iv[k] = static_cast<uint8_t>(100 + k);
    check_token({encoded(key), 1'700'000'000, iv, "native tests of the cores",
                 "gAAAAABlU_EAZGVmZ2hpamtsbW5vcHFyc5kCqW7sr1BkMbnNA9JzvFUQk8k__1Rya_dwf8qVJLLk2DDi"
                 "_JL2XF5ZI0tV1YLK9ukdoOgG8dvRxmoMdRimQ9Y="});
}

// The value of `"name": "..."` in the generation vector's JSON.
std::string json_text(const std::string& json, const std::string& name) {
    std::size_t at = json.find('"' + name + "\": \"");
    if (at == std::string::npos) return {};
    at += name.size() + 5;
    return json.substr(at, json.find('"', at) - at);
}

NATIVE_TEST(token_generation_vector) {
    const std::string json = native_tests::shared_file("fernet/generate.json");
    // Its "now" is 1985-10-26T01:20:00-07:00 and its IV the bytes 0 to 15;
    // both are checked against the file rather than parsed from it.
    CHECK_EQ(json_text(json, "now"), std::string("1985-10-26T01:20:00-07:00"));
    CHECK(json.find("\"iv\": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15]") !=
          std::string::npos);
    check_token({json_text(json, "secret"), 499'162'800,
                 from_hex("000102030405060708090a0b0c0d0e0f"), json_text(json, "src"),
                 json_text(json, "token")});
}

// ------------------------------------------------------------- fuzzy

std::optional<long long> score(std::string_view query, std::string_view candidate) {
    return tw::pagecase::fuzzy_score_ascii(query, candidate);
}

NATIVE_TEST(fuzzy_score_worked_cases) {
    CHECK_EQ(score("dia", "DATA_INTEGRITY_AUDIT"), std::optional<long long>(23));
    CHECK_EQ(score("dia", "media/archive/index"), std::optional<long long>(9));
    CHECK_EQ(score("readme", "README.md"), std::optional<long long>(33));
    CHECK_EQ(score("rm", "README.md"), std::optional<long long>(8));
    CHECK_EQ(score("gs", "getting-started.md"), std::optional<long long>(15));
    CHECK_EQ(score("gs", "guides/setup.md"), std::optional<long long>(7));
    CHECK_EQ(score("nm", "my notes.md"), std::optional<long long>(16));
    CHECK_EQ(score("n", "myNotes.md"), std::optional<long long>(0));
    CHECK_EQ(score("x", std::string(11, 'x')), std::optional<long long>(8));
    CHECK_EQ(score("x", std::string(12, 'x')), std::optional<long long>(7));
    CHECK_EQ(score("a", ""), std::optional<long long>());
    CHECK_EQ(score("abc", "ab"), std::optional<long long>());
    CHECK_EQ(score("aa", "a"), std::optional<long long>());
}

} // namespace
