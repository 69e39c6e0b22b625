// Base64 with the URL-safe alphabet and "=" padding (RFC 4648 section 5).
//
// The encoder writes "-" and "_" for 62 and 63. The decoder takes only
// canonical text (whole groups of four, at most two "=" at the very end) and
// accepts both alphabets, "-"/"+" for 62 and "_"/"/" for 63, as the standard
// library's URL-safe decoder does; unused bits of a last partial group are
// ignored, as there too. Anything else is for the caller to hand to the
// standard decoder.
//
// Keys pass through here, so neither direction branches on or indexes memory
// with the bytes or characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tw::lattice::base64 {

inline size_t encoded_size(size_t size) {
    return (size + 2) / 3 * 4;
}

// Encodes `groups` whole 3-byte groups of `in` as 4 characters each. `in` may
// lie at or after `out` in one buffer, as when a buffer is encoded in place
// from its tail: each group is read before anything that overlaps it is
// written, so this holds whenever the text never overtakes its input.
void encode_groups(const uint8_t* in, size_t groups, char* out);
// Encodes the last 0, 1 or 2 bytes: nothing, or one group padded with "=".
void encode_tail(const uint8_t* in, size_t size, char* out);
// The whole of `in` into encoded_size(size) characters, in steps that ask
// whether to stop (work_steps.h): false when told to.
bool encode(const uint8_t* in, size_t size, char* out);

// The decoded size of text of canonical shape, or nothing.
std::optional<size_t> canonical_decoded_size(const char* text, size_t size);
// Decodes `quads` groups of four characters without padding into 3 bytes
// each. False when a character lies outside both alphabets; `out` then holds
// garbage.
bool decode_quads(const char* text, size_t quads, uint8_t* out);
// Decodes text of canonical shape into canonical_decoded_size bytes, with the
// same result as decode_quads, in steps that ask whether to stop
// (work_steps.h): false also when told to.
bool decode(const char* text, size_t size, uint8_t* out);

// "avx2" when the vector kernels are in use, otherwise "scalar".
const char* implementation();

} // namespace tw::lattice::base64
