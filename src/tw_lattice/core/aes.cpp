// The exported AES C interface and the choice between the hardware and the
// portable implementation, made once per process.
#include "tw_lattice/core/aes.h"

#include <algorithm>
#include <cstring>

#include "tw_lattice/core/aes_paths.h"
#include "tw_lattice/core/implementation_choice.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice {
namespace {

struct Implementation {
    const char* name;
    bool hardware;
    void (*expand_key)(const uint8_t*, uint8_t*);
    void (*cbc_encrypt)(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t);
    void (*cbc_decrypt)(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t);
};

Implementation choose() {
    if (hardware::available() && !portable_requested("TW_LATTICE_PORTABLE_AES"))
        return {"hardware", true, hardware::expand_key, hardware::cbc_encrypt,
                hardware::cbc_decrypt};
    return {"portable", false, portable::expand_key, portable::cbc_encrypt, portable::cbc_decrypt};
}

// Fixed at the first call; the module makes that call at import.
const Implementation& implementation() {
    static const Implementation chosen = choose();
    return chosen;
}

} // namespace

const char* aes_select_implementation() {
    return implementation().name;
}

bool aes_hardware_selected() {
    return implementation().hardware;
}

void aes_expand_key(const uint8_t key[16], uint8_t round_keys[176]) {
    implementation().expand_key(key, round_keys);
}

void aes_cbc_encrypt(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length) {
    implementation().cbc_encrypt(ctx.RoundKey, ctx.Iv, in, out, length);
}

void aes_cbc_decrypt(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length) {
    implementation().cbc_decrypt(ctx.RoundKey, ctx.Iv, in, out, length);
}

bool aes_cbc_encrypt_in_steps(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length) {
    for (size_t done = 0; done < length; done += kWorkStepBytes) {
        if (!go_on(done)) return false;
        aes_cbc_encrypt(ctx, in + done, out + done, std::min(kWorkStepBytes, length - done));
    }
    return true;
}

bool aes_cbc_decrypt_in_steps(AES_ctx& ctx, const uint8_t* in, uint8_t* out, size_t length) {
    for (size_t done = 0; done < length; done += kWorkStepBytes) {
        if (!go_on(done)) return false;
        aes_cbc_decrypt(ctx, in + done, out + done, std::min(kWorkStepBytes, length - done));
    }
    return true;
}

} // namespace tw::lattice

extern "C" {

void AES_init_ctx_iv(struct AES_ctx* ctx, const uint8_t* key, const uint8_t* iv) {
    tw::lattice::aes_expand_key(key, ctx->RoundKey);
    std::memcpy(ctx->Iv, iv, sizeof ctx->Iv);
}

void AES_CBC_encrypt_buffer(struct AES_ctx* ctx, uint8_t* buf, size_t length) {
    tw::lattice::aes_cbc_encrypt(*ctx, buf, buf, length);
}

void AES_CBC_decrypt_buffer(struct AES_ctx* ctx, uint8_t* buf, size_t length) {
    tw::lattice::aes_cbc_decrypt(*ctx, buf, buf, length);
}

} // extern "C"
