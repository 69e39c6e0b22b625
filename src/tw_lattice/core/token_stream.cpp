// The token cipher's two passes without Python (token_stream.h), and the
// version of the encryption loop for any CPU.
#include "tw_lattice/core/token_stream.h"

#include <algorithm>
#include <cstring>

#include "tw_lattice/core/base64.h"
#include "tw_lattice/core/c_exports.h"
#include "tw_lattice/core/padding.h"
#include "tw_lattice/core/token_kernels.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice::token {
namespace {

// Cipher blocks encrypted between two base64 passes: the bytes encoded are
// still in the nearest cache.
constexpr size_t kChunkBlocks = 256;

// Hashes every whole message block among the first `final_bytes` bytes.
void hash_final_blocks(TrailingHash& hash, size_t final_bytes) {
    const size_t ready = final_bytes / sha256::kBlockSize;
    if (ready <= hash.blocks_done) return;
    sha256::compress(hash.state, hash.message + hash.blocks_done * sha256::kBlockSize,
                     ready - hash.blocks_done);
    hash.blocks_done = ready;
}

// Hashes what the interleaved pass has not of the first `signed_size` bytes
// and writes the HMAC tag over them to `tag`.
void finish_tag(TrailingHash& hash, size_t signed_size, const hmac::Key& signing,
                uint8_t tag[kTagSize]) {
    hash_final_blocks(hash, signed_size);
    const size_t hashed = hash.blocks_done * sha256::kBlockSize;
    sha256::Hasher rest(hash.state, sha256::kBlockSize + hashed);
    rest.update(hash.message + hashed, signed_size - hashed);
    Wiped<uint8_t[sha256::kDigestSize]> inner_digest;
    rest.finish(inner_digest.value);
    hmac::finish_tag(signing, inner_digest.value, tag);
}

// A CBC context on a ready AES schedule.
void start_chain(AES_ctx& ctx, const uint8_t round_keys[176], const uint8_t iv[kIvSize]) {
    std::memcpy(ctx.RoundKey, round_keys, sizeof ctx.RoundKey);
    std::memcpy(ctx.Iv, iv, sizeof ctx.Iv);
}

} // namespace

void encrypt_hashing(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t blocks, size_t written,
                     TrailingHash& hash) {
    if (interleaved::encrypt_usable())
        return interleaved::encrypt_hashing(ctx, in, out, blocks, written, hash);
    // The hash trails by a chunk here; nothing to overlap with.
    hash_final_blocks(hash, written);
    aes_cbc_encrypt(ctx, in, out, blocks * kBlockSize);
}

bool decode_hashing(const char* text, size_t first, size_t end, uint8_t* out, size_t hash_size,
                    TrailingHash& hash) {
    if (interleaved::decode_usable())
        return interleaved::decode_hashing(text, first, end, out, hash_size, hash);
    if (!base64::decode_quads(text + 4 * first, end - first, out + 3 * first)) return false;
    hash_final_blocks(hash, std::min(hash_size, 3 * end));
    return true;
}

CipherKeys::CipherKeys(const uint8_t* signing_key, size_t signing_size,
                       const uint8_t encryption_key[kKeySize])
    : signing(signing_key, signing_size) {
    aes_expand_key(encryption_key, round_keys.value);
}

size_t text_size(size_t plaintext_size) {
    return base64::encoded_size(authenticated_size(plaintext_size) + kTagSize);
}

bool seal_text(char* text, const CipherKeys& keys, const uint8_t timestamp[kTimestampSize],
               const uint8_t iv[kIvSize], const uint8_t* plaintext, size_t size) {
    const hmac::Key& signing = keys.signing;
    const size_t signed_size = authenticated_size(size);
    const size_t token_size = signed_size + kTagSize;
    const size_t total_groups = token_size / 3;
    // The token is built at the tail of the text buffer; the text, written
    // from the front, never overtakes the bytes it still has to read.
    uint8_t* token =
        reinterpret_cast<uint8_t*>(text) + base64::encoded_size(token_size) - token_size;
    token[0] = kVersion;
    std::memcpy(token + kTimestampOffset, timestamp, kTimestampSize);
    std::memcpy(token + kIvOffset, iv, kIvSize);

    Wiped<AES_ctx> chain;
    AES_ctx& ctx = chain.value;
    start_chain(ctx, keys.round_keys.value, iv);
    Wiped<sha256::State> state(signing.inner());
    TrailingHash hash{state.value, token, 0};
    size_t encoded_groups = 0;
    auto encode_up_to = [&](size_t groups) {
        base64::encode_groups(token + 3 * encoded_groups, groups - encoded_groups,
                              text + 4 * encoded_groups);
        encoded_groups = groups;
    };

    const size_t whole_blocks = size / kBlockSize;
    bool sealed = true;
    for (size_t done = 0; done < whole_blocks;) {
        if (!go_on(kBlockSize * done)) {
            sealed = false;
            break;
        }
        // A step of chunks, each encoded behind the chain as it goes.
        for (const size_t step_end = std::min(whole_blocks, done + kWorkStepBytes / kBlockSize);
             done < step_end;) {
            const size_t count = std::min(step_end - done, kChunkBlocks);
            encrypt_hashing(ctx, plaintext + kBlockSize * done,
                            token + kCiphertextOffset + kBlockSize * done, count,
                            kCiphertextOffset + kBlockSize * done, hash);
            done += count;
            encode_up_to(hash.blocks_done * sha256::kBlockSize / 3);
        }
    }
    if (sealed) {
        Wiped<uint8_t[kBlockSize]> last;
        pkcs7_pad_into(last.value, plaintext + kBlockSize * whole_blocks, size % kBlockSize);
        aes_cbc_encrypt(ctx, last.value, token + signed_size - kBlockSize, kBlockSize);
        finish_tag(hash, signed_size, signing, token + signed_size);
        encode_up_to(total_groups);
        base64::encode_tail(token + 3 * total_groups, token_size % 3, text + 4 * total_groups);
    }
    return sealed;
}

bool decode_signing(const char* text, size_t size, uint8_t* token, size_t token_size,
                    const hmac::Key& signing, uint8_t tag[kTagSize]) {
    // Too short for a token: nothing to sign, the format check rejects it.
    if (token_size < kMinimumSize) return base64::decode(text, size, token);
    const size_t signed_size = token_size - kTagSize;
    Wiped<sha256::State> state(signing.inner());
    TrailingHash hash{state.value, token, 0};
    // Whole groups while hashing, in steps; a last group with padding is
    // decoded on its own.
    const size_t whole_quads = token_size / 3;
    constexpr size_t kStepQuads = kWorkStepBytes / 3 / 64 * 64; // whole rounds of the kernel
    bool canonical = true;
    for (size_t first = 0; first < whole_quads; first += kStepQuads) {
        if (!go_on(first)) return false;
        canonical = decode_hashing(text, first, std::min(whole_quads, first + kStepQuads), token,
                                   signed_size, hash) &&
                    canonical;
    }
    canonical =
        base64::decode(text + 4 * whole_quads, size - 4 * whole_quads, token + 3 * whole_quads) &&
        canonical;
    finish_tag(hash, signed_size, signing, tag);
    return canonical;
}

void sign(const uint8_t* token, size_t token_size, const hmac::Key& signing,
          uint8_t tag[kTagSize]) {
    hmac::Mac mac(signing);
    mac.update(token, token_size - kTagSize);
    mac.finish(tag);
}

bool tag_matches(const uint8_t* token, size_t token_size, const uint8_t tag[kTagSize]) {
    return hmac::tags_equal(token + token_size - kTagSize, tag, kTagSize);
}

void Opening::start(const uint8_t* token, size_t token_size, const uint8_t round_keys[176]) {
    const size_t size = ciphertext_size(token_size);
    if (size == 0) return; // no block to carry the padding
    const uint8_t* block = token + kCiphertextOffset + size - kBlockSize;
    Wiped<AES_ctx> ctx;
    start_chain(ctx.value, round_keys, size == kBlockSize ? token + kIvOffset : block - kBlockSize);
    aes_cbc_decrypt(ctx.value, block, last.value, kBlockSize);
    if (const std::optional<size_t> kept = pkcs7_unpadded_size(last.value, kBlockSize))
        size_ = size - kBlockSize + *kept;
}

bool Opening::finish(uint8_t* out, const uint8_t* token, size_t token_size,
                     const uint8_t round_keys[176]) const {
    const size_t whole = ciphertext_size(token_size) - kBlockSize;
    Wiped<AES_ctx> ctx;
    start_chain(ctx.value, round_keys, token + kIvOffset);
    const bool opened = aes_cbc_decrypt_in_steps(ctx.value, token + kCiphertextOffset, out, whole);
    if (opened) std::memcpy(out + whole, last.value, *size_ - whole);
    return opened;
}

} // namespace tw::lattice::token

extern "C" {

size_t tw_lattice_token_seal(const uint8_t* key, const uint8_t* timestamp, const uint8_t* iv,
                             const uint8_t* data, size_t size, char* out) {
    const tw::lattice::token::CipherKeys keys(key, 16, key + 16);
    tw::lattice::token::seal_text(out, keys, timestamp, iv, data, size);
    return tw::lattice::token::text_size(size);
}

ptrdiff_t tw_lattice_token_decode(const uint8_t* key, const char* text, size_t size, uint8_t* out,
                                  uint8_t* tag) {
    const std::optional<size_t> decoded = tw::lattice::base64::canonical_decoded_size(text, size);
    const tw::lattice::hmac::Key signing(key, 16);
    if (!decoded || !tw::lattice::token::decode_signing(text, size, out, *decoded, signing, tag))
        return -1;
    return static_cast<ptrdiff_t>(*decoded);
}

} // extern "C"
