// PKCS#7 padding for 16-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tw::lattice {

// The padded size of `size` bytes: always 1 to 16 bytes more, a whole extra
// block when `size` is already a multiple of 16 (including 0).
inline size_t pkcs7_padded_size(size_t size) {
    return size + (16 - size % 16);
}

// Writes `size` bytes of `data` and their padding to `out`, which holds
// pkcs7_padded_size(size) bytes and may not overlap `data`.
void pkcs7_pad_into(uint8_t* out, const uint8_t* data, size_t size);

// The size of the data before its padding, or nothing when the padding is
// invalid: `data` must be non-empty and end in p bytes of value p, 1 <= p <= 16.
// The last block is examined in full whatever it holds, with no early exit, so
// the time taken does not depend on where the padding goes wrong.
std::optional<size_t> pkcs7_unpadded_size(const uint8_t* data, size_t size);

} // namespace tw::lattice
