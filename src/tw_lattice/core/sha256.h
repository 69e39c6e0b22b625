// SHA-256 (FIPS 180-4).
//
// Two compression functions sit behind this interface, chosen once per
// process: one on the CPU's SHA instructions when the processor has them, and
// a portable one. Setting TW_LATTICE_PORTABLE_SHA=1 before the module is
// imported forces the portable one (the tests compare the two).
//
// Constant time: neither path branches on or indexes memory with the data or
// the state; the only data-dependent quantity is the message length, which is
// public. That is what lets HMAC and PBKDF2 on top of it handle keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tw_lattice/core/wipe.h"

namespace tw::lattice::sha256 {

inline constexpr size_t kBlockSize = 64, kDigestSize = 32;

// The eight working words H0..H7 of FIPS 180-4 between blocks.
struct State {
    uint32_t h[8];
};

// H(0) of FIPS 180-4 5.3.3.
inline constexpr State kInitialState = {{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
                                         0x9b05688c, 0x1f83d9ab, 0x5be0cd19}};

// Fixes the implementation for the process (reading TW_LATTICE_PORTABLE_SHA)
// and names it: "hardware" or "portable". The module calls it at import.
const char* select_implementation();
// Whether the SHA instructions were chosen.
bool hardware_selected();

// Runs the compression function over `count` whole blocks.
void compress(State& state, const uint8_t* blocks, size_t count);

// The state as the big-endian digest bytes.
void store_digest(const State& state, uint8_t digest[kDigestSize]);

// The SHA-256 of a message given in pieces. `total` counts every byte fed
// since the start, including any blocks compressed by the owner directly
// (HMAC starts from a state that has already absorbed one block).
class Hasher {
  public:
    explicit Hasher(const State& start = kInitialState, uint64_t already = 0)
        : state_(start), total_(already) {}
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    void update(const uint8_t* data, size_t size);
    // Pads, compresses the rest and writes the digest; the hasher is spent.
    void finish(uint8_t digest[kDigestSize]);

  private:
    Wiped<State> state_;
    uint64_t total_;
    Wiped<uint8_t[kBlockSize]> pending_;
    size_t pending_size_ = 0;
};

void digest(const uint8_t* data, size_t size, uint8_t out[kDigestSize]);

// The loop of PBKDF2-HMAC-SHA256 for one 32-byte block, on the chosen path:
// `count` times U = HMAC(U), from the keyed `inner` and `outer` states, each
// new U XORed into `sum`. U and the sum are digests held as their eight
// big-endian words.
void hmac_iterate(const State& inner, const State& outer, State& u, State& sum, uint32_t count);

} // namespace tw::lattice::sha256
