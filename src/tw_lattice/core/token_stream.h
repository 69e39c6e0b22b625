// The token cipher's two passes without Python, for when the HMAC, base64,
// random bytes and the clock are the standard ones (the binding checks that):
// results are byte for byte those of the step-by-step calls of hmac, base64,
// os.urandom and time.time.
//
// Sealing writes the final token text in one pass: the authenticated bytes
// are built at the tail of the text buffer while the CBC chain and the HMAC
// run interleaved, and the base64 text is produced in place in front of them.
// Opening decodes once while hashing, leaves tag checking (constant time) to
// the caller before anything is decrypted, then decrypts in place or into an
// object of the plaintext's own size, learnt from the last block first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/token_format.h"
#include "tw_lattice/core/wipe.h"

namespace tw::lattice::token {

// A token cipher's keys made ready for use: the HMAC states of the signing
// key (of any length) and the schedule of the AES key. Made once per key and
// wiped when it dies.
struct CipherKeys {
    CipherKeys(const uint8_t* signing_key, size_t signing_size,
               const uint8_t encryption_key[kKeySize]);
    CipherKeys(const CipherKeys&) = delete;
    CipherKeys& operator=(const CipherKeys&) = delete;

    hmac::Key signing;
    Wiped<uint8_t[176]> round_keys;
};

// Size of the base64 text of a token of `plaintext_size` bytes.
size_t text_size(size_t plaintext_size);

// The passes below ask whether to stop between steps (work_steps.h) and,
// when told to, give up with their failure value.

// Writes a token's text, text_size(size) characters, into `text`; false when
// told to stop.
bool seal_text(char* text, const CipherKeys& keys, const uint8_t timestamp[kTimestampSize],
               const uint8_t iv[kIvSize], const uint8_t* plaintext, size_t size);

// Decodes text of canonical base64 shape into `token` (its decoded size,
// `token_size` bytes) and, when it has the token format, writes to `tag` the
// tag its authenticated part should carry. False when a character lies
// outside the alphabet (the text is not canonical and `token` holds garbage)
// or when told to stop.
bool decode_signing(const char* text, size_t size, uint8_t* token, size_t token_size,
                    const hmac::Key& signing, uint8_t tag[kTagSize]);

// The tag that the authenticated part of a token of the token format should
// carry.
void sign(const uint8_t* token, size_t token_size, const hmac::Key& signing, uint8_t tag[kTagSize]);

// Whether the token's own tag equals `tag`; every byte is compared.
bool tag_matches(const uint8_t* token, size_t token_size, const uint8_t tag[kTagSize]);

// Decrypting the ciphertext of a token (of the token format, authenticated
// and of whole blocks) with the expanded `round_keys` of its encryption key,
// in two steps, so that the plaintext goes straight into an object of its own
// size: start() decrypts the last block alone, which holds the padding and so
// the plaintext's size; finish() then decrypts the rest into `out`, which
// holds size() bytes, false when told to stop. `out` may be the token itself:
// the plaintext then moves forward over the header.
class Opening {
  public:
    Opening(const uint8_t* token, size_t token_size, const uint8_t round_keys[176]) {
        start(token, token_size, round_keys);
    }
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    // The plaintext's size, or nothing when the padding is invalid (an empty
    // ciphertext has none).
    std::optional<size_t> size() const { return size_; }
    bool finish(uint8_t* out, const uint8_t* token, size_t token_size,
                const uint8_t round_keys[176]) const;

  private:
    void start(const uint8_t* token, size_t token_size, const uint8_t round_keys[176]);

    std::optional<size_t> size_;
    Wiped<uint8_t[kBlockSize]> last;
};

} // namespace tw::lattice::token
