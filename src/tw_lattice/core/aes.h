/* AES-128 in CBC mode with a small C interface.
 *
 * The three functions are exported from the module's shared object as plain
 * C symbols, so they can be called from C or through ctypes. They work in
 * place on whole 16-byte blocks and do no padding: callers pad to a multiple
 * of 16 bytes before encrypting and check the padding after decrypting.
 *
 * Two implementations sit behind them, chosen once per process: one using the
 * CPU's AES instructions when the processor has them, and a portable one
 * built on the read-only tables. Both give identical results and keep the
 * same key schedule in `AES_ctx`. The hardware path runs in constant time;
 * the portable path indexes its tables with secret-dependent bytes and is
 * therefore not hardened against cache-timing observers on the same machine.
 * Setting TW_LATTICE_PORTABLE_AES=1 before the module is imported forces the
 * portable path (used by tests to compare the two).
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/platform/export.h"

#define TW_LATTICE_EXPORT TW_PLATFORM_EXPORT

#ifdef __cplusplus
extern "C" {
#endif

/* Owned by the caller; one context must not be used by two calls at once. */
struct AES_ctx {
    uint8_t RoundKey[176]; /* 11 round keys of 16 bytes, as FIPS-197 expands them */
    uint8_t Iv[16];        /* chaining value: the IV, then the last ciphertext block */
};

/* Expands the 16-byte key into RoundKey and copies the 16-byte IV. */
TW_LATTICE_EXPORT void AES_init_ctx_iv(struct AES_ctx* ctx, const uint8_t* key, const uint8_t* iv);

/* Encrypts `length` bytes of `buf` in place; `length` must be a multiple of 16
 * (a trailing partial block is left untouched). Iv ends as the last
 * ciphertext block, so a later call continues the chain. */
TW_LATTICE_EXPORT void AES_CBC_encrypt_buffer(struct AES_ctx* ctx, uint8_t* buf, size_t length);

/* Decrypts `length` bytes of `buf` in place, with the same rules. */
TW_LATTICE_EXPORT void AES_CBC_decrypt_buffer(struct AES_ctx* ctx, uint8_t* buf, size_t length);

#ifdef __cplusplus
}

namespace tw::lattice {

inline constexpr size_t kAesBlockSize = 16;
inline constexpr size_t kAes128KeySize = 16;

// Fixes the implementation for the process (reading TW_LATTICE_PORTABLE_AES)
// and names it: "hardware" or "portable". The module calls it at import.
const char* aes_select_implementation();
bool aes_hardware_selected();

// The FIPS-197 key schedule of a 16-byte key, as AES_init_ctx_iv writes it.
void aes_expand_key(const uint8_t key[16], uint8_t round_keys[176]);

// CBC over whole blocks from `in` to `out`, which may be the same buffer or
// have `out` before `in` in one buffer; `ctx->Iv` carries the chain as in the
// C functions.
void aes_cbc_encrypt(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length);
void aes_cbc_decrypt(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length);

// The same in steps that ask whether to stop (work_steps.h): false when told
// to, the chain then part done.
bool aes_cbc_encrypt_in_steps(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length);
bool aes_cbc_decrypt_in_steps(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length);

} // namespace tw::lattice
#endif
