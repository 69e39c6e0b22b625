// Big-endian words in byte buffers, as SHA-256 and the token layout store them.
#pragma once

#include <cstdint>
#include <cstring>

namespace tw::lattice {

inline uint32_t load_be32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return __builtin_bswap32(value);
}

inline void store_be32(uint8_t* p, uint32_t value) {
    value = __builtin_bswap32(value);
    std::memcpy(p, &value, sizeof value);
}

inline uint64_t load_be64(const uint8_t* p) {
    uint64_t value;
    std::memcpy(&value, p, sizeof value);
    return __builtin_bswap64(value);
}

inline void store_be64(uint8_t* p, uint64_t value) {
    value = __builtin_bswap64(value);
    std::memcpy(p, &value, sizeof value);
}

} // namespace tw::lattice
