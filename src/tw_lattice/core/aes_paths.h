// The two implementations behind the AES C interface. Both take the key
// schedule laid out as in AES_ctx (176 bytes, FIPS-197 order) and a 16-byte
// chaining value that they update; both process whole 16-byte blocks only,
// from `in` to `out`, which may be the same buffer or have `out` anywhere
// before `in` in one buffer (each block is read before anything at or after
// it is written). The overloads with one buffer work in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tw::lattice {

namespace portable {
void expand_key(const uint8_t key[16], uint8_t round_keys[176]);
void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                 size_t length);
void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                 size_t length);
inline void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                        size_t length) {
    cbc_encrypt(round_keys, chain, buf, buf, length);
}
inline void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                        size_t length) {
    cbc_decrypt(round_keys, chain, buf, buf, length);
}
} // namespace portable

namespace hardware {
// Whether this processor has the AES instructions (always false except on x86-64 and arm64).
bool available();
void expand_key(const uint8_t key[16], uint8_t round_keys[176]);
void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                 size_t length);
void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], const uint8_t* in, uint8_t* out,
                 size_t length);
inline void cbc_encrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                        size_t length) {
    cbc_encrypt(round_keys, chain, buf, buf, length);
}
inline void cbc_decrypt(const uint8_t round_keys[176], uint8_t chain[16], uint8_t* buf,
                        size_t length) {
    cbc_decrypt(round_keys, chain, buf, buf, length);
}
} // namespace hardware

} // namespace tw::lattice
