// The portable and the hardware AES paths agree byte for byte: the key
// schedule, and CBC encryption and decryption over whole blocks with a
// trailing partial block left untouched, in one call or split in two with
// the chaining value carried over; decryption undoes encryption. Without the
// AES instructions there is nothing to compare and every input passes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "check.h"
#include "tw_lattice/core/aes_paths.h"

namespace {

namespace portable = tw::lattice::portable;
namespace hardware = tw::lattice::hardware;

using CbcPass = void (*)(const uint8_t*, uint8_t*, uint8_t*, size_t);

// One pass over `data` from `iv`, in one call or split after `split` blocks.
std::vector<uint8_t> run(CbcPass pass, const uint8_t round_keys[176], const uint8_t iv[16],
                         std::vector<uint8_t> data, size_t split, uint8_t chain[16]) {
    std::memcpy(chain, iv, 16);
    const size_t first = std::min(16 * split, data.size());
    pass(round_keys, chain, data.data(), first);
    pass(round_keys, chain, data.data() + first, data.size() - first);
    return data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool available = hardware::available();
    if (!available) return 0;
    FuzzedDataProvider input(data, size);
    uint8_t key[16] = {}, iv[16] = {};
    input.ConsumeData(key, sizeof key);
    input.ConsumeData(iv, sizeof iv);
    const size_t split = input.ConsumeIntegralInRange<size_t>(0, 12);
    const std::vector<uint8_t> plaintext = input.ConsumeRemainingBytes<uint8_t>();
    const size_t whole = plaintext.size() / 16 * 16;

    uint8_t portable_keys[176], hardware_keys[176];
    portable::expand_key(key, portable_keys);
    hardware::expand_key(key, hardware_keys);
    TW_FUZZ_CHECK(std::memcmp(portable_keys, hardware_keys, sizeof portable_keys) == 0);
    TW_FUZZ_CHECK(std::memcmp(portable_keys, key, 16) == 0);

    uint8_t portable_chain[16], hardware_chain[16], whole_chain[16];
    const auto encrypted =
        run(portable::cbc_encrypt, portable_keys, iv, plaintext, split, portable_chain);
    TW_FUZZ_CHECK(encrypted ==
                  run(hardware::cbc_encrypt, hardware_keys, iv, plaintext, split, hardware_chain));
    TW_FUZZ_CHECK(std::memcmp(portable_chain, hardware_chain, 16) == 0);
    TW_FUZZ_CHECK(encrypted ==
                  run(hardware::cbc_encrypt, hardware_keys, iv, plaintext, 0, whole_chain));
    TW_FUZZ_CHECK(std::memcmp(whole_chain, hardware_chain, 16) == 0);
    TW_FUZZ_CHECK(std::memcmp(portable_chain, whole ? encrypted.data() + whole - 16 : iv, 16) == 0);
    TW_FUZZ_CHECK(std::equal(encrypted.begin() + static_cast<long>(whole), encrypted.end(),
                             plaintext.begin() + static_cast<long>(whole)));

    const auto decrypted =
        run(portable::cbc_decrypt, portable_keys, iv, encrypted, split, portable_chain);
    TW_FUZZ_CHECK(decrypted ==
                  run(hardware::cbc_decrypt, hardware_keys, iv, encrypted, split, hardware_chain));
    TW_FUZZ_CHECK(std::memcmp(portable_chain, hardware_chain, 16) == 0);
    TW_FUZZ_CHECK(decrypted == plaintext);

    // Decryption of arbitrary bytes, not only of what encryption produced.
    TW_FUZZ_CHECK(run(portable::cbc_decrypt, portable_keys, iv, plaintext, split, portable_chain) ==
                  run(hardware::cbc_decrypt, hardware_keys, iv, plaintext, split, hardware_chain));
    TW_FUZZ_CHECK(std::memcmp(portable_chain, hardware_chain, 16) == 0);
    return 0;
}
