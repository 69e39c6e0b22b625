"""AES-128-CBC through the exported C functions: published vectors, the two
implementations against each other, and chaining across calls."""

import os
import random

import pytest

# FIPS-197 Appendix A.1 (key expansion), B (cipher example) and C.1 (AES-128).
FIPS_KEY_A1 = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")
FIPS_BLOCKS = [
    (FIPS_KEY_A1, "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"),
    (bytes(range(16)), "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"),
]

# NIST SP 800-38A F.2.1 / F.2.2: CBC-AES128.
SP800_38A_IV = bytes(range(16))
SP800_38A_PLAINTEXT = bytes.fromhex(
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710"
)
SP800_38A_CIPHERTEXT = bytes.fromhex(
    "7649abac8119b246cee98e9b12e9197d"
    "5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e22229516"
    "3ff1caa1681fac09120eca307586e1a7"
)


def test_fips197_key_expansion(core):
    round_keys = core.context(FIPS_KEY_A1, bytes(16)).raw[:176]
    assert round_keys[:16] == FIPS_KEY_A1
    assert round_keys[16:32].hex() == "a0fafe1788542cb123a339392a6c7605"  # w4..w7
    assert round_keys[160:].hex() == "d014f9a8c9ee2589e13f0cc8b6630ca6"  # w40..w43


@pytest.mark.parametrize("key, plaintext, ciphertext", FIPS_BLOCKS)
def test_fips197_single_blocks(core, key, plaintext, ciphertext):
    # One block with a zero IV is the bare cipher.
    ctx = core.context(key, bytes(16))
    assert core.cbc("encrypt", ctx, bytes.fromhex(plaintext)).hex() == ciphertext
    assert ctx.raw[176:].hex() == ciphertext
    assert core.cbc("decrypt", core.context(key, bytes(16)), bytes.fromhex(ciphertext)).hex() == plaintext


def test_sp800_38a_cbc(core):
    ctx = core.context(FIPS_KEY_A1, SP800_38A_IV)
    assert core.cbc("encrypt", ctx, SP800_38A_PLAINTEXT) == SP800_38A_CIPHERTEXT
    assert ctx.raw[176:] == SP800_38A_CIPHERTEXT[-16:]
    ctx = core.context(FIPS_KEY_A1, SP800_38A_IV)
    assert core.cbc("decrypt", ctx, SP800_38A_CIPHERTEXT) == SP800_38A_PLAINTEXT
    assert ctx.raw[176:] == SP800_38A_CIPHERTEXT[-16:]


def test_wycheproof_valid_vectors(core, shared_json):
    group = next(g for g in shared_json("wycheproof", "aes_cbc_pkcs5_test.json")["testGroups"] if g["keySize"] == 128)
    valid = [t for t in group["tests"] if t["result"] == "valid"]
    assert valid
    for case in valid:
        key, iv, message = (bytes.fromhex(case[f]) for f in ("key", "iv", "msg"))
        padding = 16 - len(message) % 16
        padded = message + bytes([padding]) * padding
        assert core.cbc("encrypt", core.context(key, iv), padded).hex() == case["ct"], case["tcId"]
        assert core.cbc("decrypt", core.context(key, iv), bytes.fromhex(case["ct"])) == padded, case["tcId"]


# Sizes around the hardware path's decryption batches: eight blocks, or
# sixteen in pairs on processors with 256-bit AES instructions.
SPLITS = [
    (16, 16),
    (32, 0),
    (0, 48),
    (128, 48),
    (16 * 9, 16 * 7),
    (16 * 17, 16),
    (256, 16),
    (16 * 15, 16 * 18),
    (16 * 33, 16 * 31),
]


@pytest.mark.parametrize("first, second", SPLITS)
@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
def test_chaining_carries_over_between_calls(core, direction, first, second):
    key, iv, data = os.urandom(16), os.urandom(16), os.urandom(first + second)
    whole_ctx = core.context(key, iv)
    whole = core.cbc(direction, whole_ctx, data)
    split_ctx = core.context(key, iv)
    split = core.cbc(direction, split_ctx, data[:first]) + core.cbc(direction, split_ctx, data[first:])
    assert split == whole
    assert split_ctx.raw == whole_ctx.raw
    if direction == "encrypt":
        assert core.cbc("decrypt", core.context(key, iv), whole) == data


@pytest.mark.parametrize("direction", ["encrypt", "decrypt"])
def test_only_whole_blocks_are_touched(core, direction):
    ctx = core.context(os.urandom(16), os.urandom(16))
    before = ctx.raw
    data = os.urandom(36)
    assert core.cbc(direction, ctx, data, length=0) == data
    assert ctx.raw == before
    # A trailing partial block is left alone rather than overrun.
    out = core.cbc(direction, ctx, data, length=20)
    assert out[16:] == data[16:] and out[:16] != data[:16]


def test_portable_and_hardware_paths_agree(core, portable_core):
    rng = random.Random(197)
    sizes = [0, 16, 32, 112, 128, 144, 240, 256, 272, 16 * 33, 4096, 4096 + 48]
    cases = [[rng.randbytes(16), rng.randbytes(16), rng.randbytes(size)] for size in sizes * 3]
    implementations, portable = portable_core([["aes_case"] + [v.hex() for v in case] for case in cases])
    assert "aes=portable" in implementations
    here = [[v.hex() for v in core.aes_case(*case)] for case in cases]
    assert portable == here
