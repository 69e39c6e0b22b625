// The token layout and the block-cipher work of the token cipher step by
// step, where the HMAC, base64, random bytes and the clock are separate calls
// the binding makes (the one-pass route is token_stream.h).
//
// Before base64 a token is: version 0x80 (1 byte), creation time as seconds
// since the epoch, big-endian (8), IV (16), AES-128-CBC ciphertext of the
// PKCS#7-padded plaintext (a positive multiple of 16), HMAC-SHA256 over all
// the preceding bytes (32).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tw_lattice/core/padding.h"

namespace tw::lattice::token {

inline constexpr uint8_t kVersion = 0x80;
inline constexpr size_t kTimestampOffset = 1, kIvOffset = 9, kCiphertextOffset = 25;
inline constexpr size_t kTimestampSize = 8, kIvSize = 16, kKeySize = 16, kTagSize = 32,
                        kBlockSize = 16;
// Shorter tokens are rejected by their format alone; one with an empty
// ciphertext passes and fails later, on its tag or its padding.
inline constexpr size_t kMinimumSize = kCiphertextOffset + kTagSize;

// Size of everything the tag covers, for a plaintext of `size` bytes.
inline size_t authenticated_size(size_t plaintext_size) {
    return kCiphertextOffset + pkcs7_padded_size(plaintext_size);
}

// Writes the authenticated part of a token to `out` (authenticated_size bytes):
// version, timestamp, IV, and the padded plaintext encrypted under `key`.
// Long work asks whether to stop (work_steps.h): false when told to.
bool seal(uint8_t* out, const uint8_t timestamp[kTimestampSize], const uint8_t iv[kIvSize],
          const uint8_t key[kKeySize], const uint8_t* plaintext, size_t plaintext_size);

// Whether decoded bytes can be a token at all: long enough and version 0x80.
inline bool has_token_format(const uint8_t* data, size_t size) {
    return size >= kMinimumSize && data[0] == kVersion;
}

uint64_t timestamp_of(const uint8_t* token);

// Ciphertext size of a token with a valid format.
inline size_t ciphertext_size(size_t token_size) {
    return token_size - kCiphertextOffset - kTagSize;
}

// Decrypts the ciphertext of a token (of a valid format and whole blocks) into
// `out` (ciphertext_size bytes) and returns the plaintext size, or nothing
// when the padding is invalid or it was told to stop (work_steps.h).
std::optional<size_t> open(uint8_t* out, const uint8_t* token, size_t token_size,
                           const uint8_t key[kKeySize]);

// One AES-128-CBC pass over whole blocks in place through the C interface,
// on a context that is wiped afterwards.
void cbc_encrypt(const uint8_t key[kKeySize], const uint8_t iv[kIvSize], uint8_t* buf, size_t size);
void cbc_decrypt(const uint8_t key[kKeySize], const uint8_t iv[kIvSize], uint8_t* buf, size_t size);

} // namespace tw::lattice::token
