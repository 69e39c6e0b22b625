/* The core's digests, MACs and base64, exported from the module's shared
 * object as plain C symbols beside the AES interface (aes.h), so that tests
 * can reach them through ctypes and compare them with published vectors and
 * with the standard library. Each is defined in the file of what it exposes.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tw_lattice/core/aes.h"

#ifdef __cplusplus
extern "C" {
#endif

/* SHA-256 of `size` bytes into 32 bytes. */
TW_LATTICE_EXPORT void tw_lattice_sha256(const uint8_t* data, size_t size, uint8_t* digest);

/* HMAC-SHA256 under a key of any length into 32 bytes. */
TW_LATTICE_EXPORT void tw_lattice_hmac_sha256(const uint8_t* key, size_t key_size,
                                              const uint8_t* data, size_t size, uint8_t* tag);

/* PBKDF2-HMAC-SHA256 of `size` bytes (at least 1), iterations at least 1. */
TW_LATTICE_EXPORT void tw_lattice_pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size,
                                                     const uint8_t* salt, size_t salt_size,
                                                     uint32_t iterations, uint8_t* out,
                                                     size_t size);

/* URL-safe base64 with padding; returns the number of characters written. */
TW_LATTICE_EXPORT size_t tw_lattice_urlsafe_b64encode(const uint8_t* data, size_t size, char* out);

/* Decodes canonical text (see base64.h) and returns the number of bytes
 * written, or -1 when the text is not canonical; `out` must hold size / 4 * 3
 * bytes. */
TW_LATTICE_EXPORT ptrdiff_t tw_lattice_urlsafe_b64decode(const char* text, size_t size,
                                                         uint8_t* out);

/* Decodes any text as CPython 3.10's base64.urlsafe_b64decode does
 * (base64_310.h): returns the number of bytes written, -1 for "Incorrect
 * padding" or -2 for one data character over a multiple of four; `out` must
 * hold size / 4 * 3 + 3 bytes. */
TW_LATTICE_EXPORT ptrdiff_t tw_lattice_urlsafe_b64decode_310(const char* text, size_t size,
                                                             uint8_t* out);

/* The one-pass token encryption (token_stream.h) for a given timestamp (8
 * bytes) and IV (16 bytes) under a 32-byte key; `out` must hold the token
 * text, whose size is returned. */
TW_LATTICE_EXPORT size_t tw_lattice_token_seal(const uint8_t* key, const uint8_t* timestamp,
                                               const uint8_t* iv, const uint8_t* data, size_t size,
                                               char* out);

/* The one-pass token decoding: decodes canonical text into `out` (size / 4 *
 * 3 bytes) and, when the result has the token format, writes to `tag` the tag
 * it should carry under the 32-byte key. Returns the decoded size, or -1 when
 * the text is not canonical. */
TW_LATTICE_EXPORT ptrdiff_t tw_lattice_token_decode(const uint8_t* key, const char* text,
                                                    size_t size, uint8_t* out, uint8_t* tag);

/* The implementations in use, as "aes=... sha256=... base64=...". */
TW_LATTICE_EXPORT const char* tw_lattice_implementations(void);

#ifdef __cplusplus
}
#endif
