"""Hostile input for the encryption module: every public class and method
with wrong types, host objects, huge values, NUL and lone surrogates, rebound
standard modules that misbehave, and payloads beyond the memory left; each
call in a forked child where it must end normally. TwFernet is compared with
its documented steps written in Python (reference/tokens.py), the same result
or exception type (and message, where the token cipher fixes one); where the
documents fix an outcome of tw_lattice (a str or bytes argument refused with
TypeError, a rejected token as InvalidToken, a None from the string
decryptions), it is checked."""

import base64
import hashlib
import hmac
import math
import os
import struct
import time
import types

import forked
import pytest
from forked import SAME
from hostile import (
    HUGE,
    LONG,
    BadBool,
    BadCompare,
    BadHash,
    BadIndex,
    BytesSub,
    FsPath,
    LyingStr,
    StrSub,
    fail,
    raising,
    returning,
)

from reference import tokens as reference

SECRET = "a hostile secret"
KEY = base64.urlsafe_b64encode(bytes(range(32)))
TEXT = "hostile text"
CASES = forked.Cases(messages=("InvalidToken", "ValueError"))


@pytest.fixture(scope="module")
def made():
    """What the calls work on, made once: each object of the module's own
    class costs a key derivation."""
    from tidewing_lattice import tw_lattice

    box, cipher = tw_lattice.tw_lattice(SECRET), tw_lattice.TwFernet(KEY)
    return types.SimpleNamespace(
        module=tw_lattice,
        box=box,
        cipher=cipher,
        token=cipher.encrypt(b"plain"),
        string=box.encrypt_string("plain"),
        v1=box.encrypt_data(b"plain"),
        v2=box.encrypt_data(b"plain", "a.txt"),
    )


@pytest.fixture(scope="module")
def outcomes(request, made):
    return CASES.run(request, made, isolate=[made.module])


def single(table):
    """Cases of one call each, from {name: (call, expected)}."""
    return {name: ((call,), expected) for name, (call, expected) in table.items()}


Undecodable = type("Undecodable", (bytes,), {"decode": raising(AssertionError("bytes methods are not called"))})
Falsy = type("Falsy", (str,), {"__bool__": raising(ZeroDivisionError("no truth"))})
ShortLength = type("ShortLength", (str,), {"__len__": returning(3)})
Unaddable = type("Unaddable", (), {"__radd__": raising(ArithmeticError("cannot add"))})


class Unordered:
    class Verdict:
        def __bool__(self):
            raise LookupError("no verdict")

    def __radd__(self, other):
        return self

    def __lt__(self, other):
        return self.Verdict()

    __gt__ = __lt__


# ---------------------------------------------------------- tw_lattice

# Values where a str is documented, and where bytes are; which of them are
# strs, and which bytes are taken.
TEXTS = {
    "None": None,
    "int": 5,
    "bytes": TEXT.encode(),
    "str subclass": StrSub(TEXT),
    "lying str": LyingStr(TEXT),
    "200k characters": LONG,
    "NUL": "hostile\0text",
    "surrogate": "hostile\ud800text",
}
BYTES = {
    "None": None,
    "huge int": HUGE,
    "str": "data",
    "bytearray": bytearray(b"data"),
    "memoryview": memoryview(b"data"),
    "bytes subclass": BytesSub(b"data"),
    "200k bytes": LONG.encode(),
    "NUL": b"a\0b",
}
STRS = {"str subclass", "lying str", "200k characters", "NUL", "surrogate"}
BYTES_ACCEPTED = {"bytes subclass", "200k bytes", "NUL"}

# The methods taking a str: the call, what None gives, what a str gives, and
# what a str that cannot be encoded (a lone surrogate) gives. Other types are
# refused with TypeError; a str whose own methods lie may end either way.
TEXT_METHODS = {
    "tw_lattice": (lambda t, v: t.module.tw_lattice(v), "TypeError", "returned", "UnicodeEncodeError"),
    "encrypt_string": (lambda t, v: t.box.encrypt_string(v), "ValueError", "returned", "UnicodeEncodeError"),
    "decrypt_string": (lambda t, v: t.box.decrypt_string(v), "returned", "returned", "returned"),
    "string_to_secret_key": (
        lambda t, v: t.box.string_to_secret_key(v),
        "ValueError",
        "returned",
        "UnicodeEncodeError",
    ),
    "secret_key_to_string(secret_key)": (
        lambda t, v: t.box.secret_key_to_string(v, t.string),
        "returned",
        "returned",
        "returned",
    ),
    "secret_key_to_string(encrypted_string)": (
        lambda t, v: t.box.secret_key_to_string(KEY.decode(), v),
        "returned",
        "returned",
        "returned",
    ),
    "encrypt_data(filename)": (lambda t, v: t.box.encrypt_data(b"x", v), "returned", "returned", "UnicodeEncodeError"),
    "decrypt_data(filename)": (
        lambda t, v: t.box.decrypt_data(t.v2, v),
        "ValueError",
        "InvalidToken",
        "UnicodeEncodeError",
    ),
}
TOO_LONG = {"tw_lattice", "string_to_secret_key"}  # 200k characters are over their limits
# The methods taking bytes: the call, what None gives, what bytes give.
BYTES_METHODS = {
    "encrypt_data": (lambda t, v: t.box.encrypt_data(v), "ValueError", "returned"),
    "decrypt_data": (lambda t, v: t.box.decrypt_data(v), "returned", "InvalidToken"),
    "is_v2_data": (lambda t, v: t.box.is_v2_data(v), "returned", "returned"),
}


def text_expectation(method, kind):
    _, if_none, if_str, if_unencodable = TEXT_METHODS[method]
    if kind == "None" or kind not in STRS:
        return if_none if kind == "None" else "TypeError"
    if kind in ("surrogate", "lying str"):
        return if_unencodable if kind == "surrogate" else None
    return "ValueError" if kind == "200k characters" and method in TOO_LONG else if_str


def bytes_expectation(method, kind):
    _, if_none, if_bytes = BYTES_METHODS[method]
    return if_none if kind == "None" else if_bytes if kind in BYTES_ACCEPTED else "TypeError"


for method, (call, *_) in TEXT_METHODS.items():
    CASES.add(
        {
            f"{method}-{kind}": ((lambda t, c=call, v=value: c(t, v),), text_expectation(method, kind))
            for kind, value in TEXTS.items()
        }
    )
for method, (call, *_) in BYTES_METHODS.items():
    CASES.add(
        {
            f"{method}-{kind}": ((lambda t, c=call, v=value: c(t, v),), bytes_expectation(method, kind))
            for kind, value in BYTES.items()
        }
    )
CASES.add(
    single(
        {
            "tw_lattice(str with a raising truth)": (
                lambda t: t.module.tw_lattice(Falsy("x" * 10)),
                "ZeroDivisionError",
            ),
            "decrypt_string(str with a raising truth)": (
                lambda t: t.box.decrypt_string(Falsy("x")),
                "ZeroDivisionError",
            ),
            "tw_lattice(str whose len lies)": (lambda t: t.module.tw_lattice(ShortLength("x" * 10)), "ValueError"),
            "decrypt_data(v2 of subclasses)": (
                lambda t: t.box.decrypt_data(Undecodable(t.box.encrypt_data(Undecodable(b"d"), StrSub("f")))[:], "f"),
                "returned",
            ),
            "decrypt_string(a token of 200k characters)": (lambda t: t.box.decrypt_string("A" * 200_000), "returned"),
            "decrypt_data(v1 as bytes subclass)": (lambda t: t.box.decrypt_data(BytesSub(t.v1)), "returned"),
            "decrypt_data(TWEV2: and 200k bytes, name)": (
                lambda t: t.box.decrypt_data(b"TWEV2:" + b"A" * 200_000, "a"),
                "InvalidToken",
            ),
            "methods of an object never initialised": (
                lambda t: t.module.tw_lattice.__new__(t.module.tw_lattice).encrypt_string("x"),
                None,
            ),
            "a subclass never initialised": (
                lambda t: (sub := type("Sub", (t.module.tw_lattice,), {})).__new__(sub).decrypt_string("x"),
                None,
            ),
            "a method on another object": (lambda t: type(t.box).encrypt_string(t.cipher, "x"), "TypeError"),
        }
    )
)


def test_objects_dropped_while_an_exception_propagates(made):
    # Their keys are wiped from their destructors, with the exception pending.
    def fail_with_objects():
        box, cipher = made.module.tw_lattice(SECRET), made.module.TwFernet(KEY)
        assert box and cipher
        raise KeyError("kept")

    with pytest.raises(KeyError, match="kept"):
        fail_with_objects()


# ------------------------------------------------------------ TwFernet


def summary(call):
    """("ok", result), or the exception's type name and its message."""
    try:
        return "ok", call()
    except Exception as error:
        return type(error).__name__, str(error)


DELETED = object()


def keys_of(cls, key):
    cipher = cls(key)
    return cipher._signing_key, cipher._encryption_key


def with_keys(t, cls, **keys):
    """A TwFernet whose key attributes a host replaced (or DELETED): what
    decrypting a token gives, and what decrypting what it encrypts gives
    (its IV is random)."""
    cipher = cls(KEY)
    for name, value in keys.items():
        if value is DELETED:
            delattr(cipher, name)
        else:
            setattr(cipher, name, value)
    sealed = summary(lambda: cipher.encrypt(b"y"))
    if sealed[0] == "ok":
        sealed = summary(lambda: cipher.decrypt(sealed[1]))
    return summary(lambda: cipher.decrypt(t.token)), sealed


def on_the_documented_route(call):
    """`call` with the module's standard modules replaced by plain stand-ins
    forwarding to them, which takes the documented steps instead of the
    native route."""

    def run(t):
        for name in ("base64", "hashlib", "hmac_mod", "os", "struct", "time_module"):
            setattr(t.module, name, types.SimpleNamespace(**vars(getattr(t.module, name))))
        return call(t)

    return run


# TwFernet(key); its keys are compared.
KEYS = {
    "bytes": KEY,
    "str": KEY.decode(),
    "str subclass": StrSub(KEY.decode()),
    "bytes subclass": Undecodable(KEY),
    "bytearray": bytearray(KEY),
    "memoryview": memoryview(KEY),
    "huge int": HUGE,
    "None": None,
    "fspath": FsPath(KEY),
    "surrogates": "\udc80" * 44,
    "200k characters": "A" * 200_000,
    "empty": b"",
    "44 NUL bytes": b"\x00" * 44,
    "NUL after": KEY.decode() + "\x00",
    "lying str": LyingStr(KEY.decode()),
}
# encrypt(data), decrypted again by the documented steps.
PLAINTEXTS = {
    "bytes": b"plain",
    "str subclass": StrSub("text"),
    "bytes subclass": Undecodable(b"bytes"),
    "surrogate": "\udc80",
    "NUL": "nul\x00byte",
    "non-ASCII": "é" * 1000,
    "bytearray": bytearray(b"x"),
    "memoryview": memoryview(b"x"),
    "huge int": HUGE,
    "None": None,
    "list": [b"x"],
    "lying str": LyingStr("data"),
}
# decrypt(token): str or bytes; everything else, and every bad token, is InvalidToken.
TOKENS = {
    "None": lambda t: None,
    "int": lambda t: 5,
    "object": lambda t: object(),
    "bytearray": lambda t: bytearray(t.token),
    "bytes subclass": lambda t: Undecodable(t.token),
    "str subclass": lambda t: StrSub(t.token.decode()),
    "lying str": lambda t: LyingStr(t.token.decode()),
    "surrogate first": lambda t: "\udc80" + t.token.decode(),
    "surrogate last": lambda t: t.token.decode() + "\ud800",
    "NUL": lambda t: "gAAAA\0AAA",
    "200k base64 characters": lambda t: "A" * 200_000,
    "padding only": lambda t: b"=" * 200_001,
    "200k NUL bytes": lambda t: bytes(200_000),
}
TTLS = {
    "None": None,
    "0": 0,
    "huge": HUGE,
    "minus huge": -HUGE,
    "float": 1.5,
    "nan": math.nan,
    "inf": math.inf,
    "minus inf": -math.inf,
    "True": True,
    "str": "60",
    "unaddable": Unaddable(),
    "unordered": Unordered(),
    "bad index": BadIndex(),
    "uncomparable": BadCompare(),
    "bad bool": BadBool(),
}
# Key attributes a host replaced on a TwFernet, or deleted. The HMAC key goes
# to the standard hmac module, so the documented steps written in Python are
# the oracle; the AES key goes to the module's own block cipher, which takes
# 16 bytes of bytes, so the module's own documented route is.
SIGNING_KEYS = {
    "str": "sixteen bytes...",
    "int": 5,
    "short": b"short",
    "bytearray": bytearray(16),
    "bytes subclass": Undecodable(bytes(16)),
    "huge": bytes(10**6),
    "deleted": DELETED,
}
ENCRYPTION_KEYS = {
    "short": b"short",
    "long": bytes(100),
    "str": "x" * 16,
    "bytes subclass": Undecodable(bytes(16)),
    "memoryview": memoryview(bytes(16)),
    "None": None,
    "deleted": DELETED,
    "unhashable": BadHash(),
}

COMPARED = {
    **{f"TwFernet({kind})": lambda t, cls, v=key: keys_of(cls, v) for kind, key in KEYS.items()},
    **{
        f"encrypt({kind})": lambda t, cls, v=data: reference.TwFernet(KEY).decrypt(cls(KEY).encrypt(v))
        for kind, data in PLAINTEXTS.items()
    },
    **{f"decrypt({kind})": lambda t, cls, m=make: cls(KEY).decrypt(m(t)) for kind, make in TOKENS.items()},
    **{f"decrypt(token, ttl={kind})": lambda t, cls, v=ttl: cls(KEY).decrypt(t.token, v) for kind, ttl in TTLS.items()},
    **{
        f"signing key {kind}": lambda t, cls, v=key: with_keys(t, cls, _signing_key=v)
        for kind, key in SIGNING_KEYS.items()
    },
}
CASES.add(
    {
        name: ((lambda t, c=call: c(t, t.module.TwFernet), lambda t, c=call: c(t, reference.TwFernet)), SAME)
        for name, call in COMPARED.items()
    }
)
for kind, key in ENCRYPTION_KEYS.items():
    keyed = (lambda v: lambda t: with_keys(t, t.module.TwFernet, _encryption_key=v))(key)
    CASES.add({f"encryption key {kind}": ((keyed, on_the_documented_route(keyed)), SAME)})
CASES.add(
    single(
        {
            "encrypt(200k bytes)": (lambda t: t.cipher.encrypt(LONG.encode()), "returned"),
            "encrypt(200k characters)": (lambda t: t.cipher.encrypt(LONG), "returned"),
            "generate_key()": (lambda t: len(t.module.TwFernet.generate_key()), "returned"),
            "encrypt on a non-instance": (lambda t: t.module.TwFernet.encrypt(None, b"x"), None),
            "decrypt on a plain object": (lambda t: t.module.TwFernet.decrypt(object(), t.token), None),
            "InvalidToken(host objects)": (lambda t: str(t.module.InvalidToken(BadHash(), LONG)), None),
            "decrypt on a record": (
                lambda t: t.module.TwFernet.decrypt(
                    types.SimpleNamespace(_signing_key=bytes(16), _encryption_key=bytes(16)), t.token
                ),
                "InvalidToken",
            ),
        }
    )
)


# ------------------------------------------------------- rebound modules


class Replaced:
    """A standard module with some of its functions replaced."""

    def __init__(self, module, **functions):
        self._module, self._functions = module, functions

    def __getattr__(self, name):
        return self._functions[name] if name in self._functions else getattr(self._module, name)


def digesting(value):
    """A hash or HMAC constructor whose objects' digest() gives `value` (or raises, for `fail`)."""
    return lambda *args: types.SimpleNamespace(digest=value if value is fail else returning(value))


# Standard modules a host rebinds on the module to objects that misbehave,
# by the name they are bound to.
REBOUND = {
    "os.urandom short": ("os", Replaced(os, urandom=returning(b"short"))),
    "os.urandom str": ("os", Replaced(os, urandom=returning("x" * 16))),
    "os.path.basename returns bytes": ("os", Replaced(os, path=Replaced(os.path, basename=returning(b"a.txt")))),
    "time.time huge": ("time_module", Replaced(time, time=returning(float(HUGE)))),
    "time.time negative": ("time_module", Replaced(time, time=returning(-1.0))),
    "time.time nan": ("time_module", Replaced(time, time=returning(float("nan")))),
    "struct.pack short": ("struct", Replaced(struct, pack=returning(b"x"))),
    "struct.pack raises": ("struct", Replaced(struct, pack=fail)),
    "base64 encode returns str": ("base64", Replaced(base64, urlsafe_b64encode=returning("str"))),
    "base64 decode returns str": ("base64", Replaced(base64, urlsafe_b64decode=returning("x" * 100))),
    "base64 decode returns bytearray": (
        "base64",
        Replaced(base64, urlsafe_b64decode=lambda value: bytearray(base64.urlsafe_b64decode(value))),
    ),
    "base64 decode returns 57 bytes": ("base64", Replaced(base64, urlsafe_b64decode=returning(b"\x80" + bytes(56)))),
    "hashlib.pbkdf2_hmac short": ("hashlib", Replaced(hashlib, pbkdf2_hmac=returning(b"short"))),
    "hashlib.sha256 digest raises": ("hashlib", Replaced(hashlib, sha256=digesting(fail))),
    "hashlib.sha256 digest empty": ("hashlib", Replaced(hashlib, sha256=digesting(b""))),
    "hmac.new digest str": ("hmac_mod", Replaced(hmac, new=digesting("x" * 32), compare_digest=returning(True))),
    "hmac.new digest 200k bytes": (
        "hmac_mod",
        Replaced(hmac, new=digesting(b"t" * 200_000), compare_digest=returning(True)),
    ),
    "hmac.compare_digest bad bool": ("hmac_mod", Replaced(hmac, compare_digest=returning(BadBool()))),
}
# The operations that read each bound name.
OPERATIONS = {
    "encrypt": lambda t: t.cipher.encrypt(b"x" * 100),
    "decrypt": lambda t: t.cipher.decrypt(t.token, ttl=3600),
    "v2 data": lambda t: t.box.encrypt_data(b"x", "dir/a.txt"),
    "string key": lambda t: t.box.string_to_secret_key("k"),
}
READS = {
    "os": ["encrypt", "v2 data"],
    "time_module": ["encrypt", "decrypt"],
    "struct": ["encrypt"],
    "base64": ["encrypt", "decrypt", "string key"],
    "hashlib": ["v2 data", "string key"],
    "hmac_mod": ["encrypt", "decrypt"],
}
CASES.add(
    {
        f"{label}-{operation}": (
            (lambda t, n=name, v=value, o=operation: (setattr(t.module, n, v), OPERATIONS[o](t)),),
            None,
        )
        for label, (name, value) in REBOUND.items()
        for operation in READS[name]
    }
)


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_call(outcomes, case):
    CASES.check(outcomes, case)


# ------------------------------------------------------------ exhaustion

BIG = 64 << 20

# What each operation is given (made in the child before its memory is
# limited, so that only the operation's own work is), and the operation.
BEYOND_MEMORY = {
    "TwFernet.encrypt": (lambda: bytes(BIG), lambda t, data: t.cipher.encrypt(data)),
    "encrypt_data": (lambda: bytes(BIG), lambda t, data: t.box.encrypt_data(data)),
    "TwFernet.decrypt": (
        lambda: base64.urlsafe_b64encode(b"\x80" + bytes(BIG)),
        lambda t, data: t.cipher.decrypt(data),
    ),
}


@forked.needs_address_limits
@pytest.mark.parametrize("operation", BEYOND_MEMORY)
def test_payloads_beyond_the_memory_left(made, operation):
    make, use = BEYOND_MEMORY[operation]
    given = {}

    def before():
        given["data"] = make()
        forked.limit_address_space(BIG)()

    outcome = forked.run_one(lambda: use(made, given["data"]), before=before)
    assert outcome.error in ("MemoryError", "InvalidToken"), outcome.text
