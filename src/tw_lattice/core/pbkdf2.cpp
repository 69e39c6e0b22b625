// PBKDF2-HMAC-SHA256 (RFC 8018 5.2): T_i = U_1 ^ ... ^ U_c with
// U_1 = PRF(P, S || INT(i)) and U_j = PRF(P, U_{j-1}); the chain of U runs on
// the SHA-256 path chosen at load (sha256::hmac_iterate), in steps that ask
// whether to stop (work_steps.h).
#include "tw_lattice/core/pbkdf2.h"

#include <algorithm>
#include <cstring>

#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/c_exports.h"
#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/wipe.h"
#include "tw_lattice/core/work_steps.h"

namespace tw::lattice {

bool pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size, const uint8_t* salt,
                        size_t salt_size, uint32_t iterations, uint8_t* out, size_t size) {
    const hmac::Key key(password, password_size);
    Wiped<uint8_t[sha256::kDigestSize]> digest;
    Wiped<sha256::State> chain, total;
    uint8_t* const block = digest.value;
    sha256::State& u = chain.value;
    sha256::State& sum = total.value;
    WipedUnlessKept output(out, size); // a chain cut short is no key
    bool derived = true;
    for (uint32_t index = 1; size && derived; ++index) {
        uint8_t counter[4];
        store_be32(counter, index);
        hmac::Mac first(key);
        first.update(salt, salt_size);
        first.update(counter, sizeof counter);
        first.finish(block);
        for (int i = 0; i < 8; ++i)
            u.h[i] = sum.h[i] = load_be32(block + 4 * i);
        // The chain in steps, asking between them.
        for (uint32_t done = 1; done < iterations; done += kWorkStepIterations) {
            if (!go_on(done - 1)) {
                derived = false;
                break;
            }
            sha256::hmac_iterate(key.inner(), key.outer(), u, sum,
                                 std::min(kWorkStepIterations, iterations - done));
        }
        sha256::store_digest(sum, block);
        const size_t take = std::min(size, sizeof digest.value);
        std::memcpy(out, block, take);
        out += take, size -= take;
    }
    if (derived) output.keep();
    return derived;
}

} // namespace tw::lattice

extern "C" void tw_lattice_pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size,
                                              const uint8_t* salt, size_t salt_size,
                                              uint32_t iterations, uint8_t* out, size_t size) {
    tw::lattice::pbkdf2_hmac_sha256(password, password_size, salt, salt_size, iterations, out,
                                    size);
}
