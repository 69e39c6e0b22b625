// HMAC-SHA256 (RFC 2104): the keyed states and the outer hash.
#include "tw_lattice/core/hmac.h"

#include <algorithm>

#include <cstring>

#include "tw_lattice/core/c_exports.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice::hmac {

Key::Key(const uint8_t* key, size_t size) {
    // K0: the key, or its digest when longer than a block, zero-filled to a block.
    Wiped<uint8_t[sha256::kBlockSize]> block;
    if (size > sha256::kBlockSize)
        sha256::digest(key, size, block.value);
    else if (size)
        std::memcpy(block.value, key, size);
    for (int pad = 0; pad < 2; ++pad) {
        // ipad 0x36 then opad 0x5c; XORing 0x36 ^ 0x5c turns the one into the other.
        const uint8_t flip = pad == 0 ? 0x36 : 0x36 ^ 0x5c;
        for (uint8_t& byte : block.value)
            byte ^= flip;
        sha256::State& state = pad == 0 ? inner_.value : outer_.value;
        state = sha256::kInitialState;
        sha256::compress(state, block.value, 1);
    }
}

void finish_tag(const Key& key, const uint8_t inner_digest[sha256::kDigestSize],
                uint8_t tag[kTagSize]) {
    sha256::Hasher outer(key.outer(), sha256::kBlockSize);
    outer.update(inner_digest, sha256::kDigestSize);
    outer.finish(tag);
}

void Mac::finish(uint8_t tag[kTagSize]) {
    Wiped<uint8_t[sha256::kDigestSize]> inner_digest;
    inner_.finish(inner_digest.value);
    finish_tag(key_, inner_digest.value, tag);
}

bool hmac_sha256(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                 uint8_t tag[kTagSize]) {
    const Key keyed(key, key_size);
    Mac mac(keyed);
    for (size_t done = 0; done < size; done += kWorkStepBytes) {
        if (!go_on(done)) return false;
        mac.update(message + done, std::min(kWorkStepBytes, size - done));
    }
    mac.finish(tag);
    return true;
}

bool tags_equal(const uint8_t* a, const uint8_t* b, size_t size) {
    uint8_t difference = 0;
    for (size_t i = 0; i < size; ++i)
        difference |= static_cast<uint8_t>(a[i] ^ b[i]);
    // Keep the compiler from turning the loop into an early-exit comparison.
    __asm__("" : "+r"(difference));
    return difference == 0;
}

} // namespace tw::lattice::hmac

extern "C" void tw_lattice_hmac_sha256(const uint8_t* key, size_t key_size, const uint8_t* data,
                                       size_t size, uint8_t* tag) {
    tw::lattice::hmac::hmac_sha256(key, key_size, data, size, tag);
}
