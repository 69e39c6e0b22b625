"""Whatever a host passes, TwFernet and tw_lattice answer with the result or
the exception type the documented steps give, never a crash: str and bytes
subclasses, objects whose protocols raise or lie, huge values, lone
surrogates. Each call runs in a forked child that must exit normally;
TwFernet is compared with the documented steps written in Python
(reference/tokens.py)."""

import base64
import math
import os
import pickle

import pytest
from reference import tokens as reference

KEY = base64.urlsafe_b64encode(bytes(range(32)))


def in_child(call):
    """call() in a forked child: ("ok", result) or (exception type name,
    message). The child must exit normally whatever happens."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            try:
                answer = ("ok", call())
            except BaseException as error:
                answer = (type(error).__name__, str(error))
            try:
                os.write(write_end, pickle.dumps(answer))
            except Exception:
                os.write(write_end, pickle.dumps(("unpicklable", repr(answer))))
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child ended with status {status:#x}"
    return pickle.loads(data)


def documented(call):
    try:
        return "ok", call()
    except Exception as error:
        return type(error).__name__, str(error)


def same_outcome(native, expected):
    """Same result, or same exception type (and message where the token
    cipher fixes one)."""
    if expected[0] in ("ok", "InvalidToken", "ValueError"):
        return native == expected
    return native[0] == expected[0]


class Text(str):
    pass


class Data(bytes):
    def decode(self, *args):
        raise AssertionError("bytes methods are not called")


class Falsy(str):
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class ShortLength(str):
    def __len__(self):
        return 3


class Unaddable:
    def __radd__(self, other):
        raise ArithmeticError("cannot add")


class Unordered:
    class Verdict:
        def __bool__(self):
            raise LookupError("no verdict")

    def __radd__(self, other):
        return self

    def __lt__(self, other):
        return self.Verdict()

    __gt__ = __lt__


KEYS = [KEY, KEY.decode(), Text(KEY.decode()), Data(KEY), bytearray(KEY), memoryview(KEY), 12, None,
        "\udc80" * 44, "A" * 200_000, b"\x00" * 44, KEY.decode() + "\x00"]


@pytest.mark.parametrize("key", KEYS, ids=range(len(KEYS)))
def test_keys(lattice, key):
    def load(cls):
        cipher = cls(key)
        return cipher._signing_key, cipher._encryption_key

    assert same_outcome(in_child(lambda: load(lattice.TwFernet)), documented(lambda: load(reference.TwFernet)))


DATA = [b"plain", Text("text"), Data(b"bytes"), "\udc80", "nul\x00byte", "é" * 1000, bytearray(b"x"),
        memoryview(b"x"), 3, None, [b"x"]]


@pytest.mark.parametrize("data", DATA, ids=range(len(DATA)))
def test_encrypt(lattice, data):
    def round_trip(cls):
        return reference.TwFernet(KEY).decrypt(cls(KEY).encrypt(data))

    assert same_outcome(in_child(lambda: round_trip(lattice.TwFernet)), documented(lambda: round_trip(reference.TwFernet)))


TTLS = [None, 0, 10**30, -10**30, 1.5, math.nan, math.inf, -math.inf, True, "60", Unaddable(), Unordered()]


@pytest.mark.parametrize("ttl", TTLS, ids=range(len(TTLS)))
def test_decrypt_ttl(lattice, ttl):
    token = reference.TwFernet(KEY).encrypt(b"aged")
    assert same_outcome(in_child(lambda: lattice.TwFernet(KEY).decrypt(token, ttl)),
                        documented(lambda: reference.TwFernet(KEY).decrypt(token, ttl)))


def tokens():
    token = reference.TwFernet(KEY).encrypt(b"x")
    return [Data(token), Text(token.decode()), "\udc80" + token.decode(), token.decode() + "\ud800",
            "A" * 200_000, b"=" * 200_001, bytes(200_000), object(), 1.0]


@pytest.mark.parametrize("index", range(len(tokens())))
def test_decrypt_tokens(lattice, index):
    token = tokens()[index]
    assert same_outcome(in_child(lambda: lattice.TwFernet(KEY).decrypt(token)),
                        documented(lambda: reference.TwFernet(KEY).decrypt(token)))


@pytest.mark.parametrize("attribute, value", [
    ("_signing_key", "text"), ("_signing_key", 5), ("_signing_key", Data(bytes(16))), ("_signing_key", bytes(10**6)),
    ("_encryption_key", Data(bytes(16))), ("_encryption_key", memoryview(bytes(16))),
], ids=range(6))
def test_keys_replaced_on_the_instance(lattice, attribute, value):
    token = reference.TwFernet(KEY).encrypt(b"x")

    def calls(cls):
        cipher = cls(KEY)
        setattr(cipher, attribute, value)
        decrypted = documented(lambda: cipher.decrypt(token))
        sealed = documented(lambda: cipher.encrypt(b"y"))
        return decrypted[0], sealed[0]

    native = in_child(lambda: calls(lattice.TwFernet))
    assert native[0] == "ok"
    expected = calls(reference.TwFernet)
    if attribute == "_encryption_key" and isinstance(value, memoryview):
        expected = ("ValueError", "ValueError")  # the block cipher takes 16 bytes of bytes
    assert native[1] == expected


SECRET = "a secret of some length"


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.tw_lattice(Falsy("x" * 10)), "ZeroDivisionError"),
    (lambda m: m.tw_lattice(ShortLength("x" * 10)), "ValueError"),
    (lambda m: m.tw_lattice("\udc80" * 8), "UnicodeEncodeError"),
    (lambda m: m.tw_lattice("x" * 10**6), "ValueError"),
    (lambda m: m.tw_lattice(Text(SECRET)).decrypt_string(m.tw_lattice(SECRET).encrypt_string(Text("s"))), "ok"),
    (lambda m: m.tw_lattice(SECRET).encrypt_string("\udc80"), "UnicodeEncodeError"),
    (lambda m: m.tw_lattice(SECRET).decrypt_string("\udc80"), "ok"),
    (lambda m: m.tw_lattice(SECRET).decrypt_string(Falsy("x")), "ZeroDivisionError"),
    (lambda m: m.tw_lattice(SECRET).encrypt_data(b"x", "\udc80"), "UnicodeEncodeError"),
    (lambda m: m.tw_lattice(SECRET).decrypt_data(b"TWEV2:" + KEY, "dir/\udc80"), "UnicodeEncodeError"),
    (lambda m: m.tw_lattice(SECRET).decrypt_data(Data(m.tw_lattice(SECRET).encrypt_data(Data(b"d"), Text("f")))[:],
                                                  "f"), "ok"),
    (lambda m: m.tw_lattice(SECRET).is_v2_data(Data(b"TWEV2:")), "ok"),
    (lambda m: m.tw_lattice(SECRET).string_to_secret_key("\udc80"), "UnicodeEncodeError"),
    (lambda m: m.tw_lattice(SECRET).string_to_secret_key("x" * 200_000), "ValueError"),
    (lambda m: m.tw_lattice(SECRET).secret_key_to_string("\udc80", "\udc80"), "ok"),
    (lambda m: m.tw_lattice(SECRET).decrypt_data(b"A" * 200_000), "InvalidToken"),
])
def test_tw_lattice(lattice, call, expected):
    assert in_child(lambda: call(lattice))[0] == expected


def test_objects_dropped_while_an_exception_propagates(lattice):
    # Their keys are wiped from their destructors, with the exception pending.
    def fail():
        box = lattice.tw_lattice(SECRET)
        cipher = lattice.TwFernet(KEY)
        assert box and cipher
        raise KeyError("kept")

    with pytest.raises(KeyError, match="kept"):
        fail()
