// Token layout and padding. Arbitrary decoded bytes go through the checks and
// the opening the token cipher applies, in its order; padding is checked
// against its plain definition; and a token sealed from the input opens to
// the same plaintext, timestamp and IV.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "check.h"
#include "tw_lattice/core/padding.h"
#include "tw_lattice/core/token_format.h"

namespace {

namespace token = tw::lattice::token;

// The size before PKCS#7 padding, by the definition, with early exits.
std::optional<size_t> reference_unpadded_size(const uint8_t* data, size_t size) {
    if (size == 0) return std::nullopt;
    const size_t pad = data[size - 1];
    if (pad < 1 || pad > 16 || pad > size) return std::nullopt;
    for (size_t k = size - pad; k < size; ++k)
        if (data[k] != pad) return std::nullopt;
    return size - pad;
}

// A buffer that is never a null pointer, even when empty, as the cipher's are.
std::unique_ptr<uint8_t[]> buffer(size_t size) {
    return std::make_unique<uint8_t[]>(size ? size : 1);
}

// What decryption does with decoded bytes, up to the tag check (the tag is
// the binding's), then the opening itself.
void open_decoded(const std::vector<uint8_t>& decoded, const uint8_t key[token::kKeySize]) {
    const uint8_t* data = decoded.data();
    if (!token::has_token_format(data, decoded.size())) {
        TW_FUZZ_CHECK(decoded.size() < token::kMinimumSize || data[0] != token::kVersion);
        return;
    }
    uint64_t expected_time = 0;
    for (size_t k = 1; k <= token::kTimestampSize; ++k)
        expected_time = expected_time << 8 | data[k];
    TW_FUZZ_CHECK(token::timestamp_of(data) == expected_time);
    const size_t ciphertext_size = token::ciphertext_size(decoded.size());
    TW_FUZZ_CHECK(ciphertext_size == decoded.size() - 57);
    if (ciphertext_size % token::kBlockSize != 0) return;
    auto plaintext = buffer(ciphertext_size);
    const std::optional<size_t> kept = token::open(plaintext.get(), data, decoded.size(), key);
    TW_FUZZ_CHECK(kept == reference_unpadded_size(plaintext.get(), ciphertext_size));
}

void seal_and_open(const std::vector<uint8_t>& plaintext, const uint8_t timestamp[8],
                   const uint8_t iv[16], const uint8_t key[16]) {
    const size_t authenticated = token::authenticated_size(plaintext.size());
    TW_FUZZ_CHECK(authenticated == 25 + (plaintext.size() / 16 + 1) * 16);
    std::vector<uint8_t> sealed(authenticated + token::kTagSize, 0);
    token::seal(sealed.data(), timestamp, iv, key, plaintext.data(), plaintext.size());
    TW_FUZZ_CHECK(token::has_token_format(sealed.data(), sealed.size()));
    TW_FUZZ_CHECK(std::memcmp(sealed.data() + token::kTimestampOffset, timestamp, 8) == 0);
    TW_FUZZ_CHECK(std::memcmp(sealed.data() + token::kIvOffset, iv, 16) == 0);

    const size_t ciphertext_size = token::ciphertext_size(sealed.size());
    auto opened = buffer(ciphertext_size);
    TW_FUZZ_CHECK(token::open(opened.get(), sealed.data(), sealed.size(), key) == plaintext.size());
    TW_FUZZ_CHECK(plaintext.empty() ||
                  std::memcmp(opened.get(), plaintext.data(), plaintext.size()) == 0);
}

void pad_and_unpad(const std::vector<uint8_t>& data) {
    const size_t padded_size = tw::lattice::pkcs7_padded_size(data.size());
    TW_FUZZ_CHECK(padded_size % 16 == 0 && padded_size > data.size() &&
                  padded_size - data.size() <= 16);
    auto padded = buffer(padded_size);
    tw::lattice::pkcs7_pad_into(padded.get(), data.data(), data.size());
    TW_FUZZ_CHECK(tw::lattice::pkcs7_unpadded_size(padded.get(), padded_size) == data.size());
    TW_FUZZ_CHECK(tw::lattice::pkcs7_unpadded_size(data.data(), data.size()) ==
                  reference_unpadded_size(data.data(), data.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    uint8_t key[16] = {}, iv[16] = {}, timestamp[8] = {};
    input.ConsumeData(key, sizeof key);
    input.ConsumeData(iv, sizeof iv);
    input.ConsumeData(timestamp, sizeof timestamp);
    std::vector<uint8_t> decoded = input.ConsumeRemainingBytes<uint8_t>();
    if (decoded.size() > 9 && (decoded[9] & 1) != 0) decoded[0] = token::kVersion; // the usual case

    open_decoded(decoded, key);
    seal_and_open(decoded, timestamp, iv, key);
    pad_and_unpad(decoded);
    return 0;
}
