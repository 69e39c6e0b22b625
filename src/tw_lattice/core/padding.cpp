// PKCS#7 padding for 16-byte blocks.
#include "tw_lattice/core/padding.h"

#include <cstring>

namespace tw::lattice {

void pkcs7_pad_into(uint8_t* out, const uint8_t* data, size_t size) {
    const size_t padded = pkcs7_padded_size(size);
    if (size) std::memcpy(out, data, size);
    std::memset(out + size, static_cast<int>(padded - size), padded - size);
}

std::optional<size_t> pkcs7_unpadded_size(const uint8_t* data, size_t size) {
    if (size == 0) return std::nullopt; // the size is public; nothing secret to hide
    const uint32_t pad = data[size - 1];
    const uint32_t window = static_cast<uint32_t>(size < 16 ? size : 16);
    // Masks from the sign bit of 32-bit differences of small values.
    uint32_t bad = (pad - 1) >> 31; // pad == 0
    bad |= (window - pad) >> 31;    // pad > 16, or longer than the data
    for (uint32_t i = 0; i < window; ++i) {
        const uint32_t in_pad = 0u - ((i - pad) >> 31); // all ones while i < pad
        bad |= in_pad & (data[size - 1 - i] ^ pad);
    }
    if (bad != 0) return std::nullopt;
    return size - pad;
}

} // namespace tw::lattice
