"""Hostile input for the encryption module: every public class and method
with wrong types, host objects, huge values, NUL and lone surrogates, rebound
standard modules that misbehave, and payloads beyond the memory left; each
call in a forked child where it must end normally. Where the documents fix
the outcome (a str or bytes argument refused with TypeError, a rejected token
as InvalidToken, a None from the string decryptions), it is checked too."""

import base64
import hashlib
import hmac
import os
import struct
import time
import types

import pytest

import forked
from hostile import HUGE, LONG, BadBool, BadCompare, BadHash, BadIndex, BytesSub, FsPath, LyingStr, StrSub, fail, returning

SECRET = "a hostile secret"
KEY = base64.urlsafe_b64encode(bytes(range(32)))
TEXT = "hostile text"
NUL_TEXT = "hostile\0text"
SURROGATE_TEXT = "hostile\ud800text"


@pytest.fixture(scope="module")
def made():
    """What the calls work on, made once: each object of the module's own
    class costs a key derivation."""
    from tidewing_lattice import tw_lattice

    box = tw_lattice.tw_lattice(SECRET)
    cipher = tw_lattice.TwFernet(KEY)
    return types.SimpleNamespace(
        module=tw_lattice, box=box, cipher=cipher, token=cipher.encrypt(b"plain"),
        string=box.encrypt_string("plain"), v1=box.encrypt_data(b"plain"), v2=box.encrypt_data(b"plain", "a.txt"))


# Every case of this module by name: its call, a function of the objects
# `made` holds, and the outcome the documents fix (an exception type's name,
# a subclass counting too; "returned"; or None where they leave it open).
# The tables below fill it.
CASES = forked.Cases()


@pytest.fixture(scope="module")
def outcomes(request, made):
    """The outcomes of this module's selected cases."""
    cases = {name: ((lambda call=CASES[name][0]: call(made)),) for name in forked.selected(request, "case")}
    return forked.run_cases(cases, isolate=[made.module])


def check(outcomes, case):
    forked.assert_expected(forked.outcomes_of(outcomes[case])[0], CASES[case][1])


# Values where a str is documented, and where bytes are.
TEXTS = {"None": None, "int": 5, "bytes": TEXT.encode(), "str subclass": StrSub(TEXT), "lying str": LyingStr(TEXT),
         "200k characters": LONG, "NUL": NUL_TEXT, "surrogate": SURROGATE_TEXT}
BYTES = {"None": None, "huge int": HUGE, "str": "data", "bytearray": bytearray(b"data"),
         "memoryview": memoryview(b"data"), "bytes subclass": BytesSub(b"data"), "200k bytes": LONG.encode(),
         "NUL": b"a\0b"}
STRS = {"str subclass", "lying str", "200k characters", "NUL", "surrogate"}
BYTES_ACCEPTED = {"bytes subclass", "200k bytes", "NUL"}

# The methods taking a str: the call, what None gives, what a str gives.
# Other types are refused with TypeError; a str the methods cannot encode
# (a lone surrogate) or whose own methods lie may end either way.
TEXT_METHODS = {
    "tw_lattice": (lambda t, v: t.module.tw_lattice(v), "TypeError", "returned"),
    "encrypt_string": (lambda t, v: t.box.encrypt_string(v), "ValueError", "returned"),
    "decrypt_string": (lambda t, v: t.box.decrypt_string(v), "returned", "returned"),
    "string_to_secret_key": (lambda t, v: t.box.string_to_secret_key(v), "ValueError", "returned"),
    "secret_key_to_string(secret_key)": (lambda t, v: t.box.secret_key_to_string(v, t.string), "returned",
                                         "returned"),
    "secret_key_to_string(encrypted_string)": (lambda t, v: t.box.secret_key_to_string(KEY.decode(), v),
                                               "returned", "returned"),
    "encrypt_data(filename)": (lambda t, v: t.box.encrypt_data(b"x", v), "returned", "returned"),
    "decrypt_data(filename)": (lambda t, v: t.box.decrypt_data(t.v2, v), "ValueError", "InvalidToken"),
}
TOO_LONG = {"tw_lattice", "string_to_secret_key"}  # 200k characters are over their limits

# The methods taking bytes: the call, what None gives, what bytes give.
BYTES_METHODS = {
    "encrypt_data": (lambda t, v: t.box.encrypt_data(v), "ValueError", "returned"),
    "decrypt_data": (lambda t, v: t.box.decrypt_data(v), "returned", "InvalidToken"),
    "is_v2_data": (lambda t, v: t.box.is_v2_data(v), "returned", "returned"),
}


def text_expectation(method, kind):
    _, if_none, if_str = TEXT_METHODS[method]
    if kind == "None":
        return if_none
    if kind not in STRS:
        return "TypeError"
    if kind in ("lying str", "surrogate"):
        return None
    return "ValueError" if kind == "200k characters" and method in TOO_LONG else if_str


def bytes_expectation(method, kind):
    _, if_none, if_bytes = BYTES_METHODS[method]
    return if_none if kind == "None" else if_bytes if kind in BYTES_ACCEPTED else "TypeError"


BOX_CALLS = {}
for method, (call, _, _) in TEXT_METHODS.items():
    for kind, value in TEXTS.items():
        BOX_CALLS[f"{method}-{kind}"] = (lambda t, c=call, v=value: c(t, v), text_expectation(method, kind))
for method, (call, _, _) in BYTES_METHODS.items():
    for kind, value in BYTES.items():
        BOX_CALLS[f"{method}-{kind}"] = (lambda t, c=call, v=value: c(t, v), bytes_expectation(method, kind))
BOX_CALLS.update({
    "decrypt_string(a token of 200k characters)": (lambda t: t.box.decrypt_string("A" * 200_000), "returned"),
    "decrypt_data(TWEV2: and 200k bytes, name)": (lambda t: t.box.decrypt_data(b"TWEV2:" + b"A" * 200_000, "a"),
                                                  "InvalidToken"),
    "decrypt_data(v1 as bytes subclass)": (lambda t: t.box.decrypt_data(BytesSub(t.v1)), "returned"),
    "methods of an object never initialised": (lambda t: t.module.tw_lattice.__new__(t.module.tw_lattice)
                                               .encrypt_string("x"), None),
    "a method on another object": (lambda t: type(t.box).encrypt_string(t.cipher, "x"), "TypeError"),
    "a subclass never initialised": (lambda t: type("Sub", (t.module.tw_lattice,), {}).__new__(
        type("Sub", (t.module.tw_lattice,), {})).decrypt_string("x"), None),
})


@pytest.mark.parametrize("case", CASES.add(BOX_CALLS))
def test_tw_lattice(outcomes, case):
    check(outcomes, case)


def keyless(t, **keys):
    """A TwFernet whose key attributes a host replaced (or deleted, for None)."""
    cipher = t.module.TwFernet(KEY)
    for name, value in keys.items():
        if value is None:
            delattr(cipher, name)
        else:
            setattr(cipher, name, value)
    return cipher


# TwFernet(key): a str is encoded, then urlsafe_b64decode takes any bytes-like
# object; anything else is its TypeError, and a wrong length the ValueError.
KEYS = {
    "None": (None, "TypeError"), "huge int": (HUGE, "TypeError"), "fspath": (FsPath(KEY), "TypeError"),
    "empty": (b"", "ValueError"), "200k characters": (LONG, "ValueError"), "bytearray": (bytearray(KEY), "returned"),
    "memoryview": (memoryview(KEY), "returned"), "bytes subclass": (BytesSub(KEY), "returned"),
    "str subclass": (StrSub(KEY.decode()), "returned"), "lying str": (LyingStr(KEY.decode()), None),
    "surrogate": (SURROGATE_TEXT, None),
}
# encrypt(data): str or bytes; any other type is a TypeError.
PLAINTEXTS = {
    **{kind: (value, "returned" if kind in BYTES_ACCEPTED else "TypeError") for kind, value in BYTES.items()
       if kind != "str"},
    "str": ("data", "returned"), "str subclass": (StrSub("data"), "returned"), "200k characters": (LONG, "returned"),
    "lying str": (LyingStr("data"), None), "surrogate": (SURROGATE_TEXT, None),
}
# decrypt(token): str or bytes; everything else, and every bad token, is InvalidToken.
TOKENS = {
    "None": (lambda t: None, "InvalidToken"), "int": (lambda t: 5, "InvalidToken"),
    "bytearray": (lambda t: bytearray(t.token), "InvalidToken"),
    "bytes subclass": (lambda t: BytesSub(t.token), "returned"),
    "str subclass": (lambda t: StrSub(t.token.decode()), "returned"),
    "lying str": (lambda t: LyingStr(t.token.decode()), None), "surrogate": (lambda t: SURROGATE_TEXT, None),
    "NUL": (lambda t: "gAAAA\0AAA", "InvalidToken"), "200k characters": (lambda t: LONG, "InvalidToken"),
    "200k base64 characters": (lambda t: "A" * 200_000, "InvalidToken"),
    "padding only": (lambda t: "=" * 200_000, "InvalidToken"),
}
TTLS = {"huge": HUGE, "minus huge": -HUGE, "nan": float("nan"), "str": "10", "bad index": BadIndex(),
        "uncomparable": BadCompare(), "bad bool": BadBool()}
# Key attributes a host replaced on a TwFernet (None: deleted).
KEY_ATTRIBUTES = {
    "signing key str": {"_signing_key": "sixteen bytes..."}, "signing key short": {"_signing_key": b"short"},
    "signing key huge": {"_signing_key": b"k" * 200_000}, "signing key deleted": {"_signing_key": None},
    "encryption key short": {"_encryption_key": b"short"}, "encryption key str": {"_encryption_key": "x" * 16},
    "encryption key bytes subclass": {"_encryption_key": BytesSub(bytes(16))},
    "encryption key deleted": {"_encryption_key": None}, "encryption key unhashable": {"_encryption_key": BadHash()},
}

TOKEN_CALLS = {}
for kind, (key, expected) in KEYS.items():
    TOKEN_CALLS[f"TwFernet({kind})"] = (lambda t, v=key: t.module.TwFernet(v), expected)
for kind, (data, expected) in PLAINTEXTS.items():
    TOKEN_CALLS[f"encrypt({kind})"] = (lambda t, v=data: t.cipher.encrypt(v), expected)
for kind, (make, expected) in TOKENS.items():
    TOKEN_CALLS[f"decrypt({kind})"] = (lambda t, m=make: t.cipher.decrypt(m(t)), expected)
for kind, ttl in TTLS.items():
    TOKEN_CALLS[f"decrypt(token, ttl={kind})"] = (lambda t, v=ttl: t.cipher.decrypt(t.token, v), None)
for kind, keys in KEY_ATTRIBUTES.items():
    TOKEN_CALLS[f"encrypt with {kind}"] = (lambda t, k=keys: keyless(t, **k).encrypt(b"x"), None)
    TOKEN_CALLS[f"decrypt with {kind}"] = (lambda t, k=keys: keyless(t, **k).decrypt(t.token), None)
TOKEN_CALLS.update({
    "encrypt on a non-instance": (lambda t: t.module.TwFernet.encrypt(None, b"x"), None),
    "decrypt on a plain object": (lambda t: t.module.TwFernet.decrypt(object(), t.token), None),
    "decrypt on a record": (lambda t: t.module.TwFernet.decrypt(types.SimpleNamespace(
        _signing_key=bytes(16), _encryption_key=bytes(16)), t.token), "InvalidToken"),
    "generate_key()": (lambda t: len(t.module.TwFernet.generate_key()), "returned"),
    "InvalidToken(host objects)": (lambda t: str(t.module.InvalidToken(BadHash(), LONG)), None),
})


@pytest.mark.parametrize("case", CASES.add(TOKEN_CALLS))
def test_token_cipher(outcomes, case):
    check(outcomes, case)


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
    "base64 decode returns bytearray": ("base64", Replaced(
        base64, urlsafe_b64decode=lambda value: bytearray(base64.urlsafe_b64decode(value)))),
    "base64 decode returns 57 bytes": ("base64", Replaced(base64, urlsafe_b64decode=returning(b"\x80" + bytes(56)))),
    "hashlib.pbkdf2_hmac short": ("hashlib", Replaced(hashlib, pbkdf2_hmac=returning(b"short"))),
    "hashlib.sha256 digest raises": ("hashlib", Replaced(hashlib, sha256=digesting(fail))),
    "hashlib.sha256 digest empty": ("hashlib", Replaced(hashlib, sha256=digesting(b""))),
    "hmac.new digest str": ("hmac_mod", Replaced(hmac, new=digesting("x" * 32), compare_digest=returning(True))),
    "hmac.new digest 200k bytes": ("hmac_mod", Replaced(hmac, new=digesting(b"t" * 200_000),
                                                        compare_digest=returning(True))),
    "hmac.compare_digest bad bool": ("hmac_mod", Replaced(hmac, compare_digest=returning(BadBool()))),
}
# The operations that read each bound name.
OPERATIONS = {
    "encrypt": lambda t: t.cipher.encrypt(b"x" * 100),
    "decrypt": lambda t: t.cipher.decrypt(t.token, ttl=3600),
    "v2 data": lambda t: t.box.encrypt_data(b"x", "dir/a.txt"),
    "string key": lambda t: t.box.string_to_secret_key("k"),
}
READS = {"os": ["encrypt", "v2 data"], "time_module": ["encrypt", "decrypt"], "struct": ["encrypt"],
         "base64": ["encrypt", "decrypt", "string key"], "hashlib": ["v2 data", "string key"],
         "hmac_mod": ["encrypt", "decrypt"]}


def rebound_cases():
    cases = {}
    for label, (name, value) in REBOUND.items():
        for operation in READS[name]:
            def call(t, name=name, value=value, operation=operation):
                setattr(t.module, name, value)
                return OPERATIONS[operation](t)

            cases[f"{label}-{operation}"] = (call, None)
    return cases


@pytest.mark.parametrize("case", CASES.add(rebound_cases()))
def test_rebound_standard_modules(outcomes, case):
    check(outcomes, case)


# ------------------------------------------------------------ exhaustion

BIG = 64 << 20

# What each operation is given (made in the child before its memory is
# limited, so that only the operation's own work is), and the operation.
BEYOND_MEMORY = {
    "TwFernet.encrypt": (lambda: bytes(BIG), lambda t, data: t.cipher.encrypt(data)),
    "encrypt_data": (lambda: bytes(BIG), lambda t, data: t.box.encrypt_data(data)),
    "TwFernet.decrypt": (lambda: base64.urlsafe_b64encode(b"\x80" + bytes(BIG)),
                         lambda t, data: t.cipher.decrypt(data)),
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
