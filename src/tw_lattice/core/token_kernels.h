// The inner loops of the token passes (token_stream.cpp), with one version
// for any CPU and one for processors with the SHA instructions and AES or
// AVX2, where the SHA-256 rounds run interleaved with the serial CBC chain or
// with base64 decoding: the rounds are a chain that leaves most of the
// processor idle while it waits on their latency.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/sha256.h"

namespace tw::lattice::token {

// Hashing that follows the progress of an encryption: `message` is the start
// of what the HMAC covers, `blocks_done` how many of its 64-byte blocks
// `state` has absorbed.
struct TrailingHash {
    sha256::State& state;
    const uint8_t* message;
    size_t blocks_done;
};

// CBC-encrypts `blocks` blocks from `in` to `out` under `ctx`, and meanwhile
// hashes the 64-byte blocks of the message that are final before the cipher
// block being encrypted: `out` lies `written` bytes into the message, all of
// them final. At most one message block per four cipher blocks is hashed;
// the caller hashes what is left at the end. Runs the interleaved version
// when it applies.
void encrypt_hashing(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t blocks, size_t written,
                     TrailingHash& hash);

// Decodes groups `first` to `end` of four base64 characters without padding
// (of `text`, which decodes into `out`, where the message starts), and
// meanwhile hashes the message's 64-byte blocks once decoded, within its
// first `hash_size` bytes; the caller hashes what is left at the end. A
// decoding in steps calls it for each step in turn. False when a character
// lies outside the alphabet.
bool decode_hashing(const char* text, size_t first, size_t end, uint8_t* out, size_t hash_size,
                    TrailingHash& hash);

// The versions on the processor's instructions, interleaved.
namespace interleaved {
// Whether they apply: the instruction sets chosen at load, AES and SHA for
// encryption, SHA and AVX2 for decoding.
bool encrypt_usable();
bool decode_usable();
void encrypt_hashing(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t blocks, size_t written,
                     TrailingHash& hash);
bool decode_hashing(const char* text, size_t first, size_t end, uint8_t* out, size_t hash_size,
                    TrailingHash& hash);
} // namespace interleaved

} // namespace tw::lattice::token
