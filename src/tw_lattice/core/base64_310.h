// URL-safe base64 decoding as CPython 3.10's base64.urlsafe_b64decode does it
// for any bytes, canonical or not: "-" and "_" read as "+" and "/" (which are
// accepted too), characters outside the alphabet skipped, and binascii's
// lenient reading of "=": a pad ends the data once it completes a group of
// four (what follows is ignored), while a pad that cannot complete one is
// skipped. Later releases read these texts differently (3.14 decodes on
// after a closing pad, 3.15 needs no padding and warns about "+" and "/");
// the native route keeps 3.10's result on every release (the release rule,
// common/originals.h).
//
// Unlike the canonical decoder (base64.h) this branches on the characters:
// it only sees text that is not canonical, which CPython's own decoder
// would have read the same way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::lattice::base64 {

// Why 3.10's decoder refuses a text: binascii.Error with one of two messages.
enum class Refusal {
    none,
    incorrect_padding,  // "Incorrect padding"
    one_character_over, // "Invalid base64-encoded string: number of data characters (N)
                        // cannot be 1 more than a multiple of 4"
};

struct Decoded310 {
    size_t size = 0; // bytes written
    Refusal refusal = Refusal::none;
    size_t data_characters = 0; // N of one_character_over
};

// The most bytes decode_as_310 writes for `size` characters.
inline size_t decoded_bound_310(size_t size) {
    return size / 4 * 3 + 3;
}

// Decodes `text` into `out` (decoded_bound_310(size) bytes).
Decoded310 decode_as_310(const char* text, size_t size, uint8_t* out);

} // namespace tw::lattice::base64
