// ASCII text operations for the fast paths over names and paths whose
// characters are all below 0x80, where lower-casing is a fixed mapping of
// 26 letters. Anything else needs the interpreter's own Unicode rules. No
// Python headers: the cores use these too.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tw::ascii {

// The lower-case form of an ASCII letter; every other value unchanged.
template <typename Char> constexpr Char lower(Char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c + ('a' - 'A')) : c;
}

inline void lower_in_place(std::string& text) {
    for (char& c : text)
        c = lower(c);
}

// Whether every byte is below 0x80; eight bytes at a time.
inline bool is_ascii(std::string_view bytes) {
    std::uint64_t high = 0;
    std::size_t k = 0;
    for (; k + 8 <= bytes.size(); k += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + k, 8);
        high |= word;
    }
    for (; k < bytes.size(); ++k)
        high |= static_cast<unsigned char>(bytes[k]);
    return (high & 0x8080808080808080ull) == 0;
}

} // namespace tw::ascii
