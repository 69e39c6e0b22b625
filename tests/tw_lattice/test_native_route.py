"""The one-pass native route against the documented steps and a standard
implementation: tokens of every length interoperate both ways with the
`cryptography` package's Fernet and are byte for byte what it makes from the
same IV and time; tokens, keys made from strings and version-2 data give the
same results and errors whichever route runs; the portable paths give what
the processor's instructions give."""

import base64
import hashlib
import hmac
import os
import random
import struct
import time

import pytest
from cryptography.fernet import Fernet

SIZES = list(range(1101)) + [4095, 4096, 4097, 65536 + 5, 200_000]


def test_tokens_of_every_length_interoperate(lattice):
    key = Fernet.generate_key()
    ours, theirs = lattice.TwFernet(key), Fernet(key)
    for size in SIZES:
        data = os.urandom(size)
        token = ours.encrypt(data)
        assert theirs.decrypt(token) == data, size
        assert ours.decrypt(theirs.encrypt(data)) == data, size
        assert ours.decrypt(token.decode()) == data, size
        raw = base64.urlsafe_b64decode(token)
        assert token == theirs._encrypt_from_parts(data, struct.unpack(">Q", raw[1:9])[0], raw[9:25]), size


def test_one_pass_passes_match_a_standard_implementation(core):
    rng = random.Random(1101)
    for size in SIZES:
        key, timestamp, iv, data = rng.randbytes(32), rng.randbytes(8), rng.randbytes(16), rng.randbytes(size)
        text = core.token_seal(key, timestamp, iv, data)
        expected = Fernet(base64.urlsafe_b64encode(key))._encrypt_from_parts(
            data, struct.unpack(">Q", timestamp)[0], iv
        )
        assert text == expected, size
        raw, tag = core.token_decode(key, text)
        assert raw == base64.urlsafe_b64decode(text), size
        assert tag == raw[-32:] == hmac.new(key[:16], raw[:-32], hashlib.sha256).digest(), size


def test_portable_paths_match_the_instructions(core, portable_core):
    rng = random.Random(7)
    cases = [
        (rng.randbytes(32), rng.randbytes(8), rng.randbytes(16), rng.randbytes(size))
        for size in (0, 1, 15, 16, 47, 48, 63, 64, 191, 192, 1000, 4096 + 3, 70_000)
    ]
    calls = [["token_seal"] + [v.hex() for v in case] for case in cases]
    implementations, portable = portable_core(calls)
    assert "aes=portable sha256=portable" in implementations
    sealed = [core.token_seal(*case) for case in cases]
    assert portable == [text.hex() for text in sealed]
    _, decoded = portable_core([["token_decode", case[0].hex(), text.hex()] for case, text in zip(cases, sealed)])
    assert decoded == [[v.hex() for v in core.token_decode(case[0], text)] for case, text in zip(cases, sealed)]


def malformed_tokens(cipher, maker):
    good = cipher.encrypt(b"sixteen bytes!!!")
    raw = base64.urlsafe_b64decode(good)
    return [
        good,
        good.decode(),
        good + b"\n",
        b"  " + good,
        good.rstrip(b"="),
        good + b"=",
        good.replace(b"-", b"+").replace(b"_", b"/"),
        good[:-4],
        good[:40],
        b"",
        "",
        good.decode() + "é",
        "\udc80" + good.decode(),
        12345,
        None,
        bytearray(good),
        memoryview(good),
        base64.urlsafe_b64encode(raw[:-1] + bytes([raw[-1] ^ 1])),  # tag
        base64.urlsafe_b64encode(b"\x81" + raw[1:]),  # version
        base64.urlsafe_b64encode(raw[:56]),
        base64.urlsafe_b64encode(raw[:57]),
        maker.token(b""),
        maker.token(bytes(17)),
        maker.token(bytes(32)),
        maker.token(bytes(16), iv=os.urandom(16)),
        type("TokenBytes", (bytes,), {})(good),
        type("TokenText", (str,), {})(good.decode()),
    ]


def test_tokens_agree_across_routes(lattice, maker, documented_steps, outcome):
    cipher = lattice.TwFernet(maker.key)
    for token in malformed_tokens(cipher, maker):
        native = outcome(cipher.decrypt, token)
        with documented_steps():
            assert outcome(cipher.decrypt, token) == native, token
    for size in (0, 1, 16, 1000, 100_000):
        data = os.urandom(size)
        native = cipher.encrypt(data)
        with documented_steps():
            documented = cipher.encrypt(data)
            assert cipher.decrypt(native) == data
        assert cipher.decrypt(documented) == data
        assert len(native) == len(documented)


def test_key_strings_and_version_2_data_agree_across_routes(lattice, documented_steps, outcome):
    box = lattice.tw_lattice("routes compared")
    data = os.urandom(3000)
    key = box.string_to_secret_key("naïve input")
    sealed = box.encrypt_data(data, "/a/b/report.pdf")
    text = box.encrypt_string("payload ☃")
    with documented_steps():
        twin = lattice.tw_lattice("routes compared")
        assert twin.string_to_secret_key("naïve input") == key
        assert twin.decrypt_data(sealed, "report.pdf") == data
        assert twin.decrypt_string(text) == "payload ☃"
        documented_sealed = twin.encrypt_data(data, "c/report.pdf")
        documented_text = twin.encrypt_string("other")
    assert box.decrypt_data(documented_sealed, "report.pdf") == data
    assert box.decrypt_string(documented_text) == "other"
    token = lattice.TwFernet(key).encrypt(b"under a key string").decode()
    bad = [b"TWEV2:", b"TWEV2:" + sealed[6:-3], b"TWEV2:" + sealed[6:] + b"\n", sealed[6:], sealed + b"=="]
    calls = [(box.decrypt_data, value, "report.pdf") for value in bad]
    calls += [(box.decrypt_data, sealed, name) for name in ("report.pdf.bak", "", None)]
    calls += [
        (box.secret_key_to_string, key, token),
        (box.secret_key_to_string, key[:-2], token),
        (box.secret_key_to_string, key, token[:-1]),
        (box.decrypt_string, text.replace("-", "+")),
    ]
    for call, *args in calls:
        native = outcome(call, *args)
        with documented_steps():
            assert outcome(call, *args) == native, args


def test_keys_assigned_to_an_instance_take_effect_at_once(lattice):
    # The native route keeps an instance's keys ready between calls.
    first, second = Fernet.generate_key(), Fernet.generate_key()
    cipher, other = lattice.TwFernet(first), lattice.TwFernet(second)
    token = cipher.encrypt(b"one")
    cipher._signing_key = other._signing_key
    with pytest.raises(lattice.InvalidToken, match="^HMAC verification failed$"):
        cipher.decrypt(token)
    cipher._encryption_key = other._encryption_key
    assert Fernet(second).decrypt(cipher.encrypt(b"two")) == b"two"
    assert cipher.decrypt(other.encrypt(b"three")) == b"three"
    cipher._signing_key, cipher._encryption_key = (
        base64.urlsafe_b64decode(first)[:16],
        base64.urlsafe_b64decode(first)[16:],
    )
    assert cipher.decrypt(token) == b"one"


def test_a_key_assigned_by_ttl_code_is_read_in_its_turn(lattice, outcome):
    # The documented steps read the AES key after the age check.
    key, other_key = (base64.urlsafe_b64encode(bytes(range(n, n + 32))) for n in (0, 32))
    cipher, other = lattice.TwFernet(key), lattice.TwFernet(other_key)
    token = Fernet(key)._encrypt_from_parts(b"aged", int(time.time()), bytes(16))

    class Meddling(int):
        def __radd__(self, issued):
            cipher._encryption_key = other._encryption_key
            return issued + int(self)

    assert cipher.decrypt(token, ttl=100) == b"aged"
    meddled = outcome(cipher.decrypt, token, ttl=Meddling(100))
    assert meddled == outcome(cipher.decrypt, token) != ("ok", b"aged")
