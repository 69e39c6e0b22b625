// HMAC-SHA256 (RFC 2104).
//
// A key is absorbed once into two SHA-256 states (after the key XOR ipad and
// after the key XOR opad); every message under that key starts from them, so
// a key used many times (a PBKDF2 derivation, a cipher's tag key) costs two
// compressions once. The states are as secret as the key and are wiped when
// the Key dies. Constant time in the key and the message contents, as SHA-256
// is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tw_lattice/core/sha256.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::hmac {

inline constexpr size_t kTagSize = sha256::kDigestSize;

class Key {
  public:
    // Any length: keys longer than a block are hashed first, as RFC 2104 says.
    Key(const uint8_t* key, size_t size);
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    const sha256::State& inner() const { return inner_.value; }
    const sha256::State& outer() const { return outer_.value; }

  private:
    Wiped<sha256::State> inner_, outer_;
};

// The outer hash: the tag of a message whose inner digest is given.
void finish_tag(const Key& key, const uint8_t inner_digest[sha256::kDigestSize],
                uint8_t tag[kTagSize]);

// The HMAC of a message given in pieces.
class Mac {
  public:
    explicit Mac(const Key& key) : key_(key), inner_(key.inner(), sha256::kBlockSize) {}
    void update(const uint8_t* data, size_t size) { inner_.update(data, size); }
    void finish(uint8_t tag[kTagSize]);

  private:
    const Key& key_;
    sha256::Hasher inner_;
};

// The HMAC of a whole message, in steps that ask whether to stop
// (work_steps.h): false when told to, `tag` then unwritten.
bool hmac_sha256(const uint8_t* key, size_t key_size, const uint8_t* message, size_t size,
                 uint8_t tag[kTagSize]);

// Whether two tags are equal, looking at every byte whatever the differences.
bool tags_equal(const uint8_t* a, const uint8_t* b, size_t size);

} // namespace tw::lattice::hmac
