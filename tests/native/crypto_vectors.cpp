// Known answers of the encryption core: AES-128 (FIPS-197 Appendix C.1), CBC
// mode (SP 800-38A F.2.1 and F.2.2) on the portable path and, where the
// processor has them, on the AES instructions; SHA-256 of the short messages
// of the NIST test files; HMAC-SHA256 of RFC 4231; PBKDF2-HMAC-SHA256.
#include <cstring>
#include <sstream>

#include "harness.h"
#include "tw_lattice/core/aes.h"
#include "tw_lattice/core/aes_paths.h"
#include "tw_lattice/core/hmac.h"
#include "tw_lattice/core/pbkdf2.h"
#include "tw_lattice/core/sha256.h"
#include "tw_lattice/core/sha256_paths.h"

namespace {

using native_tests::from_hex;
using native_tests::to_hex;
namespace lattice = tw::lattice;

// ---------------------------------------------------------------- AES

const char kFipsKey[] = "000102030405060708090a0b0c0d0e0f";
const char kFipsPlaintext[] = "00112233445566778899aabbccddeeff";
const char kFipsCiphertext[] = "69c4e0d86a7b0430d8cdb78070b4c55a";

const char kCbcKey[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kCbcIv[] = "000102030405060708090a0b0c0d0e0f";
const char kCbcPlaintext[] = "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                             "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
const char kCbcCiphertext[] = "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
                              "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7";

// One implementation's three steps, for running the vectors through each.
struct AesPath {
    void (*expand_key)(const uint8_t*, uint8_t*);
    void (*encrypt)(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t);
    void (*decrypt)(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, size_t);
};

void check_path(const AesPath& path) {
    uint8_t round_keys[176];
    // One block with a zero IV is the bare cipher of FIPS-197.
    path.expand_key(from_hex(kFipsKey).data(), round_keys);
    std::vector<uint8_t> block = from_hex(kFipsPlaintext);
    uint8_t chain[16] = {};
    path.encrypt(round_keys, chain, block.data(), block.data(), 16);
    CHECK_EQ(to_hex(block), std::string(kFipsCiphertext));
    std::memset(chain, 0, sizeof chain);
    path.decrypt(round_keys, chain, block.data(), block.data(), 16);
    CHECK_EQ(to_hex(block), std::string(kFipsPlaintext));

    path.expand_key(from_hex(kCbcKey).data(), round_keys);
    const std::vector<uint8_t> plaintext = from_hex(kCbcPlaintext);
    std::vector<uint8_t> text = plaintext;
    std::memcpy(chain, from_hex(kCbcIv).data(), 16);
    path.encrypt(round_keys, chain, text.data(), text.data(), text.size());
    CHECK_EQ(to_hex(text), to_hex(from_hex(kCbcCiphertext)));
    CHECK_EQ(to_hex(chain, 16),
             to_hex(text.data() + 48, 16)); // the chain goes on from the last block
    // Decryption of many blocks at once (the wide paths take 8 or 16): the
    // vector repeated, chained from the end of the first copy.
    std::vector<uint8_t> many;
    for (int copy = 0; copy < 9; ++copy)
        many.insert(many.end(), plaintext.begin(), plaintext.end());
    std::vector<uint8_t> sealed = many;
    std::memcpy(chain, from_hex(kCbcIv).data(), 16);
    path.encrypt(round_keys, chain, sealed.data(), sealed.data(), sealed.size());
    CHECK_EQ(to_hex(sealed.data(), 64), to_hex(from_hex(kCbcCiphertext)));
    std::memcpy(chain, from_hex(kCbcIv).data(), 16);
    path.decrypt(round_keys, chain, sealed.data(), sealed.data(), sealed.size());
    CHECK(sealed == many);
}

NATIVE_TEST(aes_portable_path_known_answers) {
    check_path({lattice::portable::expand_key, lattice::portable::cbc_encrypt,
                lattice::portable::cbc_decrypt});
}

NATIVE_TEST(aes_instruction_path_known_answers) {
    if (!lattice::hardware::available()) native_tests::skip("no AES instructions here");
    check_path({lattice::hardware::expand_key, lattice::hardware::cbc_encrypt,
                lattice::hardware::cbc_decrypt});
}

NATIVE_TEST(aes_c_interface_known_answers) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, from_hex(kCbcKey).data(), from_hex(kCbcIv).data());
    std::vector<uint8_t> text = from_hex(kCbcPlaintext);
    AES_CBC_encrypt_buffer(&ctx, text.data(), text.size());
    CHECK_EQ(to_hex(text), to_hex(from_hex(kCbcCiphertext)));
    AES_init_ctx_iv(&ctx, from_hex(kCbcKey).data(), from_hex(kCbcIv).data());
    AES_CBC_decrypt_buffer(&ctx, text.data(), text.size());
    CHECK_EQ(to_hex(text), to_hex(from_hex(kCbcPlaintext)));
}

// ------------------------------------------------------------- SHA-256

std::string digest_hex(const std::vector<uint8_t>& message) {
    uint8_t digest[32];
    lattice::sha256::digest(message.data(), message.size(), digest);
    return to_hex(digest, sizeof digest);
}

// The "Name = value" records of a NIST response file or of the RFC 4231
// file, one map per blank-line-separated group.
struct Record {
    std::string len, key, msg, md;
};

std::vector<Record> records(const std::string& text) {
    std::vector<Record> found(1);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            if (!found.back().md.empty()) found.emplace_back();
            continue;
        }
        const std::size_t equals = line.find(" = ");
        if (line[0] == '#' || equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals), value = line.substr(equals + 3);
        Record& record = found.back();
        if (name == "Len") record.len = value;
        if (name == "Key") record.key = value;
        if (name == "Msg") record.msg = value;
        if (name == "MD") record.md = value;
    }
    if (found.back().md.empty()) found.pop_back();
    return found;
}

NATIVE_TEST(sha256_inline_known_answers) {
    CHECK_EQ(digest_hex({}),
             std::string("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    CHECK_EQ(digest_hex(native_tests::bytes_of("abc")),
             std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

NATIVE_TEST(sha256_short_messages) {
    std::vector<Record> vectors = records(native_tests::shared_file("sha256/SHA256ShortMsg.rsp"));
    CHECK(vectors.size() == 65);
    for (const Record& vector : vectors) {
        std::vector<uint8_t> message = from_hex(vector.msg);
        message.resize(std::stoul(vector.len) / 8); // "Len = 0" comes with "Msg = 00"
        CHECK_EQ(digest_hex(message), vector.md);
    }
}

NATIVE_TEST(sha256_paths_agree) {
    // Both compression functions on the same blocks, where the processor has
    // the SHA instructions.
    if (!lattice::sha256::hardware::available()) native_tests::skip("no SHA instructions here");
    std::vector<uint8_t> blocks(64 * 5);
    for (std::size_t k = 0; k < blocks.size(); ++k)
        blocks[k] = static_cast<uint8_t>(k * 7 + 3);
    lattice::sha256::State portable = lattice::sha256::kInitialState, hardware = portable;
    lattice::sha256::portable::compress(portable, blocks.data(), 5);
    lattice::sha256::hardware::compress(hardware, blocks.data(), 5);
    CHECK(std::memcmp(portable.h, hardware.h, sizeof portable.h) == 0);
}

// -------------------------------------------------------- HMAC, PBKDF2

std::string tag_hex(const std::vector<uint8_t>& key, const std::vector<uint8_t>& message) {
    uint8_t tag[32];
    lattice::hmac::hmac_sha256(key.data(), key.size(), message.data(), message.size(), tag);
    return to_hex(tag, sizeof tag);
}

NATIVE_TEST(hmac_sha256_rfc4231) {
    // Test case 2 inline: a key shorter than the block.
    CHECK_EQ(tag_hex(native_tests::bytes_of("Jefe"),
                     native_tests::bytes_of("what do ya want for nothing?")),
             std::string("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    std::vector<Record> vectors = records(native_tests::shared_file("hmac/rfc-4231-sha256.txt"));
    CHECK(vectors.size() >= 6);
    for (const Record& vector : vectors)
        CHECK_EQ(tag_hex(from_hex(vector.key), from_hex(vector.msg)), vector.md);
}

std::string pbkdf2_hex(std::string_view password, std::string_view salt, uint32_t iterations,
                       std::size_t size) {
    std::vector<uint8_t> out(size);
    lattice::pbkdf2_hmac_sha256(reinterpret_cast<const uint8_t*>(password.data()), password.size(),
                                reinterpret_cast<const uint8_t*>(salt.data()), salt.size(),
                                iterations, out.data(), out.size());
    return to_hex(out);
}

NATIVE_TEST(pbkdf2_hmac_sha256_known_answers) {
    CHECK_EQ(pbkdf2_hex("password", "salt", 1, 32),
             std::string("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"));
    CHECK_EQ(pbkdf2_hex("password", "salt", 4096, 32),
             std::string("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a"));
    // A second block of output, and longer password and salt.
    CHECK_EQ(
        pbkdf2_hex("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 40),
        std::string("348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1"
                    "c635518c7dac47e9"));
}

} // namespace
