"""TwFernet and InvalidToken: keys, the token layout, interoperability with a
standard implementation, every rejection in its order, token age, and the
standard modules looked up at call time."""

import base64
import binascii
import datetime
import hashlib
import hmac
import os
import random
import struct
import subprocess
import sys
import threading
import time
import tracemalloc

import pytest
from cryptography.fernet import Fernet

from reference import base64_310

MESSAGES = [
    "Cannot decode token",
    "Invalid token format",
    "HMAC verification failed",
    "Invalid ciphertext length",
    "Invalid padding",
]


def decoded(token):
    """The bytes the native route reads from a token: CPython 3.10's reading (releases.py)."""
    return base64_310.urlsafe_b64decode(token)


def same_bytes(token, good):
    try:
        return decoded(token) == decoded(good)
    except (ValueError, TypeError):
        return False


def rejection(cipher, token, **kwargs):
    with pytest.raises(Exception) as caught:
        cipher.decrypt(token, **kwargs)
    assert type(caught.value).__name__ == "InvalidToken"
    return str(caught.value)


def epoch(text):
    return int(datetime.datetime.fromisoformat(text).timestamp())


# ------------------------------------------------------------------- keys


def test_key_halves_and_generation(lattice):
    key = lattice.TwFernet.generate_key()
    assert type(key) is bytes and len(key) == 44 and key != lattice.TwFernet.generate_key()
    raw = base64.urlsafe_b64decode(key)
    for given in (key, key.decode()):
        cipher = lattice.TwFernet(given)
        assert (cipher._signing_key, cipher._encryption_key) == (raw[:16], raw[16:])
    assert lattice.TwFernet._FERNET_VERSION == b"\x80"


def test_key_errors(lattice):
    with pytest.raises(ValueError) as caught:
        lattice.TwFernet(base64.urlsafe_b64encode(bytes(16)))
    assert str(caught.value) == "Fernet key must be 32 url-safe base64-encoded bytes."
    # Not base64 at all: the decoder's own error, a ValueError subclass.
    with pytest.raises(binascii.Error):
        lattice.TwFernet("a")


# ------------------------------------------------------------ the tokens


@pytest.mark.parametrize("size", [0, 1, 15, 16, 17, 1000, 100_000])
def test_interoperates_with_a_standard_implementation(lattice, size):
    key = Fernet.generate_key()
    ours, theirs = lattice.TwFernet(key), Fernet(key)
    data = os.urandom(size)
    token = ours.encrypt(data)
    assert theirs.decrypt(token) == data
    assert ours.decrypt(theirs.encrypt(data)) == data
    assert ours.decrypt(token.decode()) == data
    raw = decoded(token)
    assert len(raw) == 1 + 8 + 16 + (size // 16 + 1) * 16 + 32
    assert raw[0] == 0x80 and abs(struct.unpack(">Q", raw[1:9])[0] - time.time()) < 5


def test_decryption_makes_no_second_copy(lattice):
    # The plaintext is decrypted in place in the decoded token and shortened.
    cipher = lattice.TwFernet(Fernet.generate_key())
    data = os.urandom(4 * 2**20 + 5)
    token = cipher.encrypt(data)
    tracemalloc.start()
    try:
        plain = cipher.decrypt(token)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert plain == data and hash(plain) == hash(data) and sys.getsizeof(plain) == sys.getsizeof(data)
    assert peak < 1.15 * len(data)


def test_str_is_encrypted_as_utf8(lattice):
    cipher = lattice.TwFernet(Fernet.generate_key())
    assert cipher.decrypt(cipher.encrypt("naïve ☃")) == "naïve ☃".encode()


@pytest.mark.parametrize("data", [None, 1, bytearray(b"x"), memoryview(b"x")])
def test_encrypt_refuses_other_types(lattice, data):
    with pytest.raises(TypeError):
        lattice.TwFernet(Fernet.generate_key()).encrypt(data)


def test_standard_generate_and_verify_vectors(lattice, shared_json, monkeypatch):
    for case in shared_json("fernet", "generate.json"):
        monkeypatch.setattr(lattice.os, "urandom", lambda n, iv=bytes(case["iv"]): iv[:n])
        monkeypatch.setattr(lattice.time_module, "time", lambda now=epoch(case["now"]): now + 0.75)
        assert lattice.TwFernet(case["secret"]).encrypt(case["src"]).decode() == case["token"]
    for case in shared_json("fernet", "verify.json"):
        monkeypatch.setattr(lattice.time_module, "time", lambda now=epoch(case["now"]): float(now))
        cipher = lattice.TwFernet(case["secret"])
        assert cipher.decrypt(case["token"], ttl=case["ttl_sec"]) == case["src"].encode()


INVALID_VECTOR_MESSAGES = {
    "incorrect mac": "HMAC verification failed",
    "too short": "Invalid token format",
    "invalid base64": "Cannot decode token",
    "payload size not multiple of block size": "Invalid ciphertext length",
    "payload padding error": "Invalid padding",
    "far-future TS (unacceptable clock skew)": "Token timestamp is in the future",
    "expired TTL": "Token has expired",
    "incorrect IV (causes padding error)": "Invalid padding",
}


def test_standard_invalid_vectors(lattice, shared_json, monkeypatch):
    for case in shared_json("fernet", "invalid.json"):
        monkeypatch.setattr(lattice.time_module, "time", lambda now=epoch(case["now"]): float(now))
        cipher = lattice.TwFernet(case["secret"])
        assert rejection(cipher, case["token"], ttl=case["ttl_sec"]) == INVALID_VECTOR_MESSAGES[case["desc"]]


def test_wycheproof_paddings_through_tokens(lattice, maker, shared_json):
    group = next(g for g in shared_json("wycheproof", "aes_cbc_pkcs5_test.json")["testGroups"] if g["keySize"] == 128)
    for case in group["tests"]:
        token_maker = type(maker)(maker.signing_key, bytes.fromhex(case["key"]))
        token = token_maker.token(bytes.fromhex(case["ct"]), iv=bytes.fromhex(case["iv"]))
        cipher = lattice.TwFernet(token_maker.key)
        if case["result"] == "valid":
            assert cipher.decrypt(token).hex() == case["msg"], case["tcId"]
        else:
            assert rejection(cipher, token) == "Invalid padding", case["tcId"]


# ------------------------------------------------------------ rejections


def test_rejections_in_order(lattice, maker):
    cipher = lattice.TwFernet(maker.key)
    good = cipher.encrypt(b"sixteen bytes!!!")
    body = decoded(good)[:-32]
    cases = [
        (12345, "Cannot decode token"),
        (bytearray(good), "Cannot decode token"),
        ("\udc80" + good.decode(), "Cannot decode token"),
        (b"abc", "Cannot decode token"),
        (base64.urlsafe_b64encode(b"\x80" + bytes(55)), "Invalid token format"),  # 56 bytes
        (maker.signed(b"\x81" + bytes(24)), "Invalid token format"),  # 57 bytes, wrong version
        (base64.urlsafe_b64encode(b"\x80" + bytes(56)), "HMAC verification failed"),  # 57 bytes
        (base64.urlsafe_b64encode(body + bytes(33)), "HMAC verification failed"),  # also a bad length
        (maker.token(b""), "Invalid padding"),  # empty ciphertext, tag fine
        (maker.token(bytes(17)), "Invalid ciphertext length"),
        (maker.token(bytes(32)), "Invalid padding"),
    ]
    for token, message in cases:
        assert rejection(cipher, token) == message, token
    assert cipher.decrypt(good) == b"sixteen bytes!!!"  # still usable


def test_rejections_chain_the_underlying_error(lattice, maker):
    cipher = lattice.TwFernet(maker.key)
    with pytest.raises(lattice.InvalidToken) as caught:
        cipher.decrypt(b"abc")
    assert isinstance(caught.value.__context__, binascii.Error)
    with pytest.raises(lattice.InvalidToken) as caught:
        cipher.decrypt(maker.token(bytes(32)))
    assert type(caught.value.__context__) is ValueError and str(caught.value.__context__) == "Invalid padding"


def test_tampering_with_any_byte_never_yields_plaintext(lattice, maker):
    cipher = lattice.TwFernet(maker.key)
    raw = decoded(cipher.encrypt(b"attack at dawn" * 3))
    for position in range(len(raw)):
        for flip in (0x01, 0x80):
            tampered = bytearray(raw)
            tampered[position] ^= flip
            message = rejection(cipher, base64.urlsafe_b64encode(bytes(tampered)))
            assert message in ("Invalid token format", "HMAC verification failed")


def test_fuzzed_tokens_raise_only_invalid_token(lattice, maker):
    rng = random.Random(2024)
    cipher = lattice.TwFernet(maker.key)
    good = cipher.encrypt(b"payload" * 5)
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=+/%\n "
    for _ in range(400):
        choice = rng.randrange(4)
        if choice == 0:
            token = rng.randbytes(rng.randrange(120))
        elif choice == 1:
            token = bytes(rng.choice(alphabet) for _ in range(rng.randrange(140)))
        elif choice == 2:
            token = bytearray(good)
            for _ in range(rng.randrange(1, 4)):
                token[rng.randrange(len(token))] = rng.choice(alphabet)
            token = bytes(token)
        else:
            token = good[: rng.randrange(len(good))].decode("latin-1")
        if same_bytes(token, good):  # the decoder reads "/" as "_" and skips stray characters
            continue
        assert rejection(cipher, token) in MESSAGES


# -------------------------------------------------------------- token age


def test_ttl_checks_age_after_the_tag(lattice, maker, monkeypatch):
    cipher = lattice.TwFernet(maker.key)
    now = 1_700_000_000
    monkeypatch.setattr(lattice.time_module, "time", lambda: now + 0.5)
    token = cipher.encrypt(b"x")
    for clock, ttl, expected in [
        (now + 100, 100, b"x"),  # exactly ttl old
        (now + 101, 100, "Token has expired"),
        (now + 101, 100.5, "Token has expired"),  # the clock is read as whole seconds
        (now - 60, 10, b"x"),  # within the allowed skew
        (now - 61, 10, "Token timestamp is in the future"),
    ]:
        monkeypatch.setattr(lattice.time_module, "time", lambda clock=clock: clock + 0.9)
        if isinstance(expected, bytes):
            assert cipher.decrypt(token, ttl=ttl) == expected
        else:
            assert rejection(cipher, token, ttl=ttl) == expected
    tampered = base64.urlsafe_b64encode(decoded(token)[:-1] + b"\x00")
    assert rejection(cipher, tampered, ttl=1) == "HMAC verification failed"


def test_no_ttl_never_reads_the_clock(lattice, maker, monkeypatch):
    cipher = lattice.TwFernet(maker.key)
    old = maker.token(b"", timestamp=0)
    token = cipher.encrypt(b"old enough")

    def no_clock():
        raise AssertionError("the clock was read")

    monkeypatch.setattr(lattice.time_module, "time", no_clock)
    assert cipher.decrypt(token) == b"old enough"
    assert rejection(cipher, old) == "Invalid padding"


# ------------------------------------------------- standard modules, rebound


class Recorder:
    """Stands in for a standard module, recording which functions are called."""

    def __init__(self, module):
        self._module, self.calls = module, []

    def __getattr__(self, name):
        target = getattr(self._module, name)
        if not callable(target):
            return target

        def call(*args, **kwargs):
            self.calls.append(name)
            return target(*args, **kwargs)

        return call


@pytest.mark.parametrize(
    "attribute, module, encrypt_calls, decrypt_calls",
    [
        ("hmac_mod", hmac, ["new"], ["compare_digest", "new"]),
        ("base64", base64, ["urlsafe_b64encode"], ["urlsafe_b64decode"]),
        ("hashlib", hashlib, ["sha256"], ["sha256"]),
        ("struct", struct, ["pack"], []),
        ("os", os, ["urandom"], []),
    ],
)
def test_rebound_modules_are_called(lattice, monkeypatch, attribute, module, encrypt_calls, decrypt_calls):
    key = Fernet.generate_key()
    cipher = lattice.TwFernet(key)
    recorder = Recorder(module)
    monkeypatch.setattr(lattice, attribute, recorder)
    token = cipher.encrypt(b"data")
    assert sorted(set(recorder.calls)) == encrypt_calls
    recorder.calls.clear()
    assert cipher.decrypt(token) == b"data" == Fernet(key).decrypt(token)
    assert sorted(set(recorder.calls)) == decrypt_calls


def test_patched_standard_functions_are_honoured(lattice, monkeypatch):
    # Functions replaced inside the real standard modules, not on ours.
    cipher = lattice.TwFernet(Fernet.generate_key())
    token = cipher.encrypt(b"data")
    calls = []
    real_new = hmac.new
    monkeypatch.setattr(hmac, "new", lambda *args: calls.append("new") or real_new(*args))
    monkeypatch.setattr(base64, "urlsafe_b64encode", lambda data: b"ENCODED")
    assert cipher.encrypt(b"data") == b"ENCODED" and calls == ["new"]
    monkeypatch.setattr(base64, "urlsafe_b64decode", lambda data: base64.b64decode(b"gAAA"))
    assert rejection(cipher, token) == "Invalid token format"
    monkeypatch.undo()
    monkeypatch.setattr(hashlib, "sha256", hashlib.md5)
    assert rejection(cipher, token) == "HMAC verification failed"


def test_concurrent_large_tokens(lattice):
    cipher = lattice.TwFernet(Fernet.generate_key())
    payloads = [os.urandom(200_000 + i) for i in range(4)]
    results = [None] * 4

    def work(i):
        results[i] = [cipher.decrypt(cipher.encrypt(payloads[i])) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [[p] * 3 for p in payloads]


# IVs come from a pool of random bytes drawn in batches. A forked child must
# not hand out the IVs its parent has yet to use: each process's next two
# IVs differ from all of the other's. Run in a child process, as it forks.
FORKED_IVS = """
import base64, os
from tidewing_lattice.tw_lattice import TwFernet
cipher = TwFernet(TwFernet.generate_key())
ivs = lambda: [base64.urlsafe_b64decode(cipher.encrypt(b"x"))[9:25] for _ in range(2)]
ivs()  # the pool now holds the parent's next IVs
read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(write, b"".join(ivs()))
    os._exit(0)
os.waitpid(pid, 0)
child = os.read(read, 32)
print(len({child[:16], child[16:], *ivs()}))
"""


def test_a_forked_child_never_hands_out_its_parents_ivs():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", FORKED_IVS], env=env, capture_output=True, text=True, timeout=60, check=True
    )
    assert done.stdout.split() == ["4"]
