// SHA-256: the choice of compression function, made once per process, and
// the padding and digest around it (FIPS 180-4 5.1.1, 6.2).
#include "tw_lattice/core/sha256.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/c_exports.h"
#include "tw_lattice/core/implementation_choice.h"
#include "tw_lattice/core/sha256_paths.h"

namespace tw::lattice::sha256 {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

struct Implementation {
    const char* name;
    bool hardware;
    void (*compress)(State&, const uint8_t*, size_t);
    void (*hmac_iterate)(const State&, const State&, State&, State&, uint32_t);
};

Implementation choose() {
    if (hardware::available() && !portable_requested("TW_LATTICE_PORTABLE_SHA"))
        return {"hardware", true, hardware::compress, hardware::hmac_iterate};
    return {"portable", false, portable::compress, portable::hmac_iterate};
}

// Fixed at the first call; the module makes that call at import.
const Implementation& implementation() {
    static const Implementation chosen = choose();
    return chosen;
}

} // namespace

const char* select_implementation() {
    return implementation().name;
}

bool hardware_selected() {
    return implementation().hardware;
}

void compress(State& state, const uint8_t* blocks, size_t count) {
    if (count) implementation().compress(state, blocks, count);
}

void hmac_iterate(const State& inner, const State& outer, State& u, State& sum, uint32_t count) {
    implementation().hmac_iterate(inner, outer, u, sum, count);
}

void store_digest(const State& state, uint8_t digest[kDigestSize]) {
    for (int i = 0; i < 8; ++i)
        store_be32(digest + 4 * i, state.h[i]);
}

void Hasher::update(const uint8_t* data, size_t size) {
    total_ += size;
    uint8_t* pending = pending_.value;
    if (pending_size_) {
        const size_t take = std::min(size, kBlockSize - pending_size_);
        std::memcpy(pending + pending_size_, data, take);
        pending_size_ += take, data += take, size -= take;
        if (pending_size_ < kBlockSize) return;
        compress(state_.value, pending, 1);
        pending_size_ = 0;
    }
    compress(state_.value, data, size / kBlockSize);
    data += size - size % kBlockSize;
    size %= kBlockSize;
    if (size) std::memcpy(pending, data, size);
    pending_size_ = size;
}

void Hasher::finish(uint8_t digest[kDigestSize]) {
    // 0x80, zeros up to 8 bytes short of a block boundary, the length in bits.
    Wiped<uint8_t[2 * kBlockSize]> tail;
    std::memcpy(tail.value, pending_.value, pending_size_);
    tail.value[pending_size_] = 0x80;
    const size_t blocks = pending_size_ + 1 + 8 <= kBlockSize ? 1 : 2;
    store_be64(tail.value + blocks * kBlockSize - 8, total_ * 8);
    compress(state_.value, tail.value, blocks);
    store_digest(state_.value, digest);
}

void digest(const uint8_t* data, size_t size, uint8_t out[kDigestSize]) {
    Hasher hasher;
    hasher.update(data, size);
    hasher.finish(out);
}

} // namespace tw::lattice::sha256

extern "C" {

void tw_lattice_sha256(const uint8_t* data, size_t size, uint8_t* digest) {
    tw::lattice::sha256::digest(data, size, digest);
}

const char* tw_lattice_implementations(void) {
    static const std::string names = std::string("aes=") +
                                     tw::lattice::aes_select_implementation() +
                                     " sha256=" + tw::lattice::sha256::select_implementation() +
                                     " base64=" + tw::lattice::base64::implementation();
    return names.c_str();
}

} // extern "C"
