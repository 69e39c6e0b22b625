// The one-pass token passes against the step-by-step ones: sealing writes
// exactly the base64 of the token that token::seal and the HMAC make;
// decoding while hashing gives, for any text, either "not canonical" or the
// decoded bytes with the tag of their authenticated part; opening (the last block
// first, then the rest) gives what token::open gives on a copy.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <optional>
#include <vector>

#include "check.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/token_stream.h"

namespace {

namespace token = tw::lattice::token;
namespace base64 = tw::lattice::base64;

std::vector<char> step_by_step(const uint8_t key[32], const uint8_t timestamp[8],
                               const uint8_t iv[16], const std::vector<uint8_t>& plaintext) {
    const size_t signed_size = token::authenticated_size(plaintext.size());
    std::vector<uint8_t> raw(signed_size + token::kTagSize);
    token::seal(raw.data(), timestamp, iv, key + 16, plaintext.data(), plaintext.size());
    tw::lattice::hmac::hmac_sha256(key, 16, raw.data(), signed_size, raw.data() + signed_size);
    std::vector<char> text(base64::encoded_size(raw.size()));
    base64::encode(raw.data(), raw.size(), text.data());
    return text;
}

// Decodes `text` with the one-pass decoder and checks it against the plain
// decoder and HMAC; then opens what has the token format both ways.
void decode_and_open(const token::CipherKeys& keys, const uint8_t key[32],
                     const std::vector<char>& text) {
    const std::optional<size_t> size = base64::canonical_decoded_size(text.data(), text.size());
    if (!size) return;
    std::vector<uint8_t> fused(*size + 1), plain(*size + 1);
    uint8_t tag[token::kTagSize] = {};
    const bool canonical =
        token::decode_signing(text.data(), text.size(), fused.data(), *size, keys.signing, tag);
    TW_FUZZ_CHECK(canonical == base64::decode(text.data(), text.size(), plain.data()));
    if (!canonical) return;
    TW_FUZZ_CHECK(std::memcmp(fused.data(), plain.data(), *size) == 0);
    if (!token::has_token_format(plain.data(), *size)) return;
    uint8_t expected[token::kTagSize];
    tw::lattice::hmac::hmac_sha256(key, 16, plain.data(), *size - token::kTagSize, expected);
    TW_FUZZ_CHECK(std::memcmp(tag, expected, sizeof tag) == 0);
    const size_t ciphertext_size = token::ciphertext_size(*size);
    if (ciphertext_size % token::kBlockSize != 0) return;
    std::vector<uint8_t> copy(ciphertext_size + 1);
    const auto kept = token::open(copy.data(), plain.data(), *size, key + 16);
    const token::Opening opening(fused.data(), *size, keys.round_keys.value);
    TW_FUZZ_CHECK(opening.size() == kept);
    if (!kept) return;
    std::vector<uint8_t> opened(*kept + 1);
    opening.finish(opened.data(), fused.data(), *size, keys.round_keys.value);
    TW_FUZZ_CHECK(std::memcmp(opened.data(), copy.data(), *kept) == 0);
    // In place, as the binding opens the decoded bytes it made itself.
    opening.finish(fused.data(), fused.data(), *size, keys.round_keys.value);
    TW_FUZZ_CHECK(std::memcmp(fused.data(), copy.data(), *kept) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    uint8_t key[32] = {}, timestamp[8] = {}, iv[16] = {};
    input.ConsumeData(key, sizeof key);
    input.ConsumeData(timestamp, sizeof timestamp);
    input.ConsumeData(iv, sizeof iv);
    const bool as_text = input.ConsumeBool();
    const std::vector<uint8_t> rest = input.ConsumeRemainingBytes<uint8_t>();
    const token::CipherKeys keys(key, 16, key + 16);

    if (as_text) { // arbitrary text offered as a token
        decode_and_open(keys, key, std::vector<char>(rest.begin(), rest.end()));
        return 0;
    }
    std::vector<char> sealed(token::text_size(rest.size()));
    token::seal_text(sealed.data(), keys, timestamp, iv, rest.data(), rest.size());
    TW_FUZZ_CHECK(sealed == step_by_step(key, timestamp, iv, rest));
    decode_and_open(keys, key, sealed);
    return 0;
}
