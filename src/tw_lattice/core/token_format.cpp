// The token layout and the block-cipher work of the token cipher.
#include "tw_lattice/core/token_format.h"

#include <cassert>
#include <cstring>

#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice::token {

void cbc_encrypt(const uint8_t key[kKeySize], const uint8_t iv[kIvSize], uint8_t* buf,
                 size_t size) {
    assert(size % kBlockSize == 0);
    Wiped<AES_ctx> ctx;
    AES_init_ctx_iv(&ctx.value, key, iv);
    AES_CBC_encrypt_buffer(&ctx.value, buf, size);
}

void cbc_decrypt(const uint8_t key[kKeySize], const uint8_t iv[kIvSize], uint8_t* buf,
                 size_t size) {
    assert(size % kBlockSize == 0);
    Wiped<AES_ctx> ctx;
    AES_init_ctx_iv(&ctx.value, key, iv);
    AES_CBC_decrypt_buffer(&ctx.value, buf, size);
}

bool seal(uint8_t* out, const uint8_t timestamp[kTimestampSize], const uint8_t iv[kIvSize],
          const uint8_t key[kKeySize], const uint8_t* plaintext, size_t plaintext_size) {
    out[0] = kVersion;
    std::memcpy(out + kTimestampOffset, timestamp, kTimestampSize);
    std::memcpy(out + kIvOffset, iv, kIvSize);
    uint8_t* ciphertext = out + kCiphertextOffset;
    pkcs7_pad_into(ciphertext, plaintext, plaintext_size);
    Wiped<AES_ctx> ctx;
    AES_init_ctx_iv(&ctx.value, key, iv);
    const size_t size = pkcs7_padded_size(plaintext_size);
    return aes_cbc_encrypt_in_steps(ctx.value, ciphertext, ciphertext, size);
}

uint64_t timestamp_of(const uint8_t* token) {
    return load_be64(token + kTimestampOffset);
}

std::optional<size_t> open(uint8_t* out, const uint8_t* token, size_t token_size,
                           const uint8_t key[kKeySize]) {
    assert(has_token_format(token, token_size));
    const size_t size = ciphertext_size(token_size);
    assert(size % kBlockSize == 0);
    Wiped<AES_ctx> ctx;
    AES_init_ctx_iv(&ctx.value, key, token + kIvOffset);
    if (!aes_cbc_decrypt_in_steps(ctx.value, token + kCiphertextOffset, out, size))
        return std::nullopt;
    return pkcs7_unpadded_size(out, size);
}

} // namespace tw::lattice::token
