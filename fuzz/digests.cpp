// SHA-256, HMAC and the PBKDF2 loop: the portable and the SHA-instruction
// compressions agree on every block and every HMAC chain; a message fed in
// arbitrary pieces hashes as it does whole; an HMAC in pieces equals the
// one-shot HMAC; PBKDF2's first block is the XOR of the chain of HMACs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "check.h"
#include "tw_lattice/core/big_endian.h"
#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/pbkdf2.h"
#include "tw_lattice/core/sha256_paths.h"

namespace {

namespace sha256 = tw::lattice::sha256;
namespace hmac = tw::lattice::hmac;

bool same(const sha256::State& a, const sha256::State& b) {
    return std::memcmp(a.h, b.h, sizeof a.h) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sha256::select_implementation();
    FuzzedDataProvider input(data, size);
    const size_t key_size = input.ConsumeIntegralInRange<size_t>(0, 150);
    const std::vector<uint8_t> key = input.ConsumeBytes<uint8_t>(key_size);
    const uint32_t iterations = input.ConsumeIntegralInRange<uint32_t>(1, 64);
    const size_t split = input.ConsumeIntegral<size_t>();
    const std::vector<uint8_t> message = input.ConsumeRemainingBytes<uint8_t>();

    // Both compressions over the whole blocks.
    const size_t blocks = message.size() / sha256::kBlockSize;
    if (sha256::hardware::available()) {
        sha256::State portable = sha256::kInitialState, hardware = sha256::kInitialState;
        sha256::portable::compress(portable, message.data(), blocks);
        sha256::hardware::compress(hardware, message.data(), blocks);
        TW_FUZZ_CHECK(same(portable, hardware));
    }

    // Whole, and in two pieces split anywhere.
    uint8_t whole[32], pieces[32];
    sha256::digest(message.data(), message.size(), whole);
    const size_t first = message.empty() ? 0 : split % (message.size() + 1);
    sha256::Hasher hasher;
    hasher.update(message.data(), first);
    hasher.update(message.data() + first, message.size() - first);
    hasher.finish(pieces);
    TW_FUZZ_CHECK(std::memcmp(whole, pieces, 32) == 0);

    const hmac::Key keyed(key.data(), key.size());
    uint8_t tag[32], tag_in_pieces[32];
    hmac::hmac_sha256(key.data(), key.size(), message.data(), message.size(), tag);
    hmac::Mac mac(keyed);
    mac.update(message.data(), first);
    mac.update(message.data() + first, message.size() - first);
    mac.finish(tag_in_pieces);
    TW_FUZZ_CHECK(std::memcmp(tag, tag_in_pieces, 32) == 0);

    // PBKDF2 block 1 with the message as salt: the chain U_j by plain HMACs.
    uint8_t derived[32], u[32], sum[32];
    tw::lattice::pbkdf2_hmac_sha256(key.data(), key.size(), message.data(), message.size(),
                                    iterations, derived, sizeof derived);
    std::vector<uint8_t> salted(message);
    salted.insert(salted.end(), {0, 0, 0, 1});
    hmac::hmac_sha256(key.data(), key.size(), salted.data(), salted.size(), u);
    std::memcpy(sum, u, 32);
    for (uint32_t j = 1; j < iterations; ++j) {
        hmac::hmac_sha256(key.data(), key.size(), u, 32, u);
        for (int k = 0; k < 32; ++k)
            sum[k] ^= u[k];
    }
    TW_FUZZ_CHECK(std::memcmp(derived, sum, 32) == 0);

    // The same chain on both paths, from the keyed states.
    if (sha256::hardware::available()) {
        sha256::State start, portable_u, portable_sum{}, hardware_u, hardware_sum{};
        for (int k = 0; k < 8; ++k)
            start.h[k] = tw::lattice::load_be32(tag + 4 * k);
        portable_u = hardware_u = start;
        sha256::portable::hmac_iterate(keyed.inner(), keyed.outer(), portable_u, portable_sum,
                                       iterations);
        sha256::hardware::hmac_iterate(keyed.inner(), keyed.outer(), hardware_u, hardware_sum,
                                       iterations);
        TW_FUZZ_CHECK(same(portable_u, hardware_u) && same(portable_sum, hardware_sum));
    }
    return 0;
}
