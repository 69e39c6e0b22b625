// URL-safe base64 decoding as CPython 3.10 reads any text (base64_310.h).
#include "tw_lattice/core/base64_310.h"

#include "tw_lattice/core/c_exports.h"

namespace tw::lattice::base64 {
namespace {

// The 6-bit value of a character of either alphabet, or -1.
int value_of(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-' || c == '+') return 62;
    if (c == '_' || c == '/') return 63;
    return -1;
}

} // namespace

Decoded310 decode_as_310(const char* text, size_t size, uint8_t* out) {
    Decoded310 result;
    int position = 0; // characters of the current group of four seen so far
    int pads = 0;     // "=" seen since the last data character
    unsigned held = 0;
    for (size_t k = 0; k < size; ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (c == '=') {
            // Counted only once two data characters of the group are in;
            // a run that fills the group ends the data.
            if (position >= 2 && position + ++pads >= 4) return result;
            continue;
        }
        const int value = value_of(c);
        if (value < 0) continue;
        pads = 0;
        const auto v = static_cast<unsigned>(value);
        switch (position) {
        case 0:
            held = v;
            break;
        case 1:
            out[result.size++] = static_cast<uint8_t>(held << 2 | v >> 4);
            held = v & 0x0f;
            break;
        case 2:
            out[result.size++] = static_cast<uint8_t>(held << 4 | v >> 2);
            held = v & 0x03;
            break;
        default:
            out[result.size++] = static_cast<uint8_t>(held << 6 | v);
            break;
        }
        position = (position + 1) % 4;
    }
    if (position == 1) {
        result.refusal = Refusal::one_character_over;
        result.data_characters = result.size / 3 * 4 + 1;
    } else if (position != 0) {
        result.refusal = Refusal::incorrect_padding;
    }
    return result;
}

} // namespace tw::lattice::base64

extern "C" ptrdiff_t tw_lattice_urlsafe_b64decode_310(const char* text, size_t size, uint8_t* out) {
    const tw::lattice::base64::Decoded310 decoded =
        tw::lattice::base64::decode_as_310(text, size, out);
    switch (decoded.refusal) {
    case tw::lattice::base64::Refusal::none:
        return static_cast<ptrdiff_t>(decoded.size);
    case tw::lattice::base64::Refusal::incorrect_padding:
        return -1;
    default:
        return -2;
    }
}
