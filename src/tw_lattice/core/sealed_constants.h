// The fixed salts and file-name pieces of the key derivations.
//
// Their values were drawn once at random and must never change: every string
// and file encrypted by one build decrypts only in a build with the same
// values. The module holds them only enciphered and recovers them for each
// object that needs them.
#pragma once

#include <cstdint>

namespace tw::lattice {

struct DerivationConstants {
    uint8_t main_salt[15];   // salt of an object's own key
    uint8_t string_salt[5];  // salt of keys made from arbitrary strings
    uint8_t file_piece_a[8]; // the two fixed parts of a file key's salt input
    uint8_t file_piece_b[7];
};
static_assert(sizeof(DerivationConstants) == 35);

// Fills `out` with the recovered values; the caller wipes them when done.
void unseal_constants(DerivationConstants& out);

} // namespace tw::lattice
