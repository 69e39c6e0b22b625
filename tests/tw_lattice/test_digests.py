"""The core's SHA-256, HMAC-SHA256 and PBKDF2 through its exported C
functions: the NIST SHAVS vectors (short and long messages, Monte Carlo), the
RFC 4231 cases, the standard library on random inputs of every length, and
the portable path against the SHA instructions."""

import hashlib
import hmac
import random


def records(text):
    """The "Name = value" blocks of a CAVP response file, as dicts."""
    blocks, current = [], {}
    for line in text.splitlines():
        line = line.strip()
        if not line and current:
            blocks.append(current)
            current = {}
        elif line and not line.startswith(("#", "[")):
            name, _, value = line.partition(" = ")
            current[name] = value
    return blocks + ([current] if current else [])


def test_nist_short_and_long_messages(core, shared_text):
    for name, count in (("SHA256ShortMsg.rsp", 65), ("SHA256LongMsg.rsp", 64)):
        cases = [case for case in records(shared_text("sha256", name)) if "MD" in case]
        assert len(cases) == count
        for case in cases:
            message = bytes.fromhex(case["Msg"])[: int(case["Len"]) // 8]  # Len 0 carries "00"
            assert core.sha256(message).hex() == case["MD"], (name, case["Len"])


def test_nist_monte_carlo(core, shared_text):
    # SHAVS 6.4: each checkpoint is the last of 1000 digests of the three before.
    blocks = records(shared_text("sha256", "SHA256Monte.rsp"))
    seed = bytes.fromhex(next(block["Seed"] for block in blocks if "Seed" in block))
    checkpoints = [block["MD"] for block in blocks if "COUNT" in block]
    assert len(checkpoints) == 100
    for expected in checkpoints:
        digests = [seed] * 3
        for _ in range(1000):
            digests = digests[1:] + [core.sha256(b"".join(digests))]
        seed = digests[-1]
        assert seed.hex() == expected


def test_rfc4231(core, shared_text):
    cases = [case for case in records(shared_text("hmac", "rfc-4231-sha256.txt")) if "MD" in case]
    assert len(cases) == 6  # case 5, the truncated tag, is not in the file
    for case in cases:
        key, message = bytes.fromhex(case["Key"]), bytes.fromhex(case["Msg"])
        assert core.hmac_sha256(key, message).hex() == case["MD"], case["Len"]


def test_digests_match_the_standard_library_at_every_length(core):
    rng = random.Random(180)
    sizes = list(range(1101)) + [4095, 4096, 4097, 65536 + 3, (1 << 20) + 17]
    for size in sizes:
        data = rng.randbytes(size)
        key = rng.randbytes(rng.choice([0, 1, 16, 32, 63, 64, 65, 100, rng.randrange(200)]))
        assert core.sha256(data) == hashlib.sha256(data).digest(), size
        assert core.hmac_sha256(key, data) == hmac.new(key, data, hashlib.sha256).digest(), (size, len(key))


def test_pbkdf2_matches_hashlib(core):
    rng = random.Random(8018)
    for _ in range(150):
        password = rng.randbytes(rng.choice([0, 8, 64, 65, rng.randrange(130)]))
        salt = rng.randbytes(rng.randrange(70))
        iterations, size = rng.randrange(1, 400), rng.randrange(1, 100)
        assert core.pbkdf2(password, salt, iterations, size) == hashlib.pbkdf2_hmac(
            "sha256", password, salt, iterations, size
        ), (len(password), len(salt), iterations, size)
    assert core.pbkdf2(b"pw", b"salt", 100000, 32) == hashlib.pbkdf2_hmac("sha256", b"pw", b"salt", 100000, 32)


def test_portable_path_matches_the_sha_instructions(core, portable_core):
    rng = random.Random(256)
    calls = []
    for size in [0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 1000, 4096 + 7, 100003]:
        data, key = rng.randbytes(size), rng.randbytes(rng.randrange(100))
        calls += [["sha256", data.hex()], ["hmac_sha256", key.hex(), data.hex()]]
    for _ in range(10):
        calls.append(
            [
                "pbkdf2",
                rng.randbytes(rng.randrange(80)).hex(),
                rng.randbytes(rng.randrange(40)).hex(),
                rng.randrange(1, 3000),
                rng.randrange(1, 80),
            ]
        )
    implementations, portable = portable_core(calls)
    assert "sha256=portable" in implementations
    here = [
        getattr(core, name)(*(bytes.fromhex(a) if isinstance(a, str) else a for a in args)).hex()
        for name, *args in calls
    ]
    assert portable == here
