"""The encryption module's public surface: every name in its binding order,
the classes as a host sees them, keyword names, the exported C symbols, and no
second initialisation."""

import base64
import hashlib
import hmac
import os
import shutil
import struct
import subprocess
import time

import pytest

BINDING_ORDER = [
    "__all__",
    "base64",
    "hashlib",
    "hmac_mod",
    "os",
    "struct",
    "time_module",
    "InvalidToken",
    "TwFernet",
    "tw_lattice",
]
C_SYMBOLS = [
    "AES_init_ctx_iv",
    "AES_CBC_encrypt_buffer",
    "AES_CBC_decrypt_buffer",
    "tw_lattice_sha256",
    "tw_lattice_hmac_sha256",
    "tw_lattice_pbkdf2_hmac_sha256",
    "tw_lattice_urlsafe_b64encode",
    "tw_lattice_urlsafe_b64decode",
    "tw_lattice_urlsafe_b64decode_310",
    "tw_lattice_token_seal",
    "tw_lattice_token_decode",
    "tw_lattice_implementations",
]


def test_names_in_binding_order(lattice):
    assert [name for name in vars(lattice) if not name.startswith("__") or name == "__all__"] == BINDING_ORDER
    assert lattice.__all__ == ["tw_lattice"]
    bound = (lattice.base64, lattice.hashlib, lattice.hmac_mod, lattice.os, lattice.struct, lattice.time_module)
    assert bound == (base64, hashlib, hmac, os, struct, time)


def test_classes(lattice):
    assert lattice.InvalidToken.__bases__ == (Exception,)
    assert lattice.TwFernet.__bases__ == (object,)
    for cls in (lattice.InvalidToken, lattice.TwFernet, lattice.tw_lattice):
        assert cls.__module__ == "tidewing_lattice.tw_lattice"
    assert isinstance(lattice.TwFernet.__dict__["generate_key"], staticmethod)

    class Derived(lattice.TwFernet):  # a plain class: subclassable, instances with a __dict__
        pass

    cipher = Derived(key=lattice.TwFernet.generate_key())
    assert sorted(vars(cipher)) == ["_encryption_key", "_signing_key"]
    assert cipher.decrypt(token=cipher.encrypt(data=b"kw"), ttl=None) == b"kw"


def test_keyword_names(lattice):
    box = lattice.tw_lattice(secret_key="keyword names")
    token = box.encrypt_string(input_string="s")
    assert box.decrypt_string(encrypted_string=token) == "s"
    data = box.encrypt_data(data=b"d", filename="f.txt")
    assert box.decrypt_data(encrypted_data=data, filename="f.txt") == b"d"
    assert box.is_v2_data(data=data)
    key = box.string_to_secret_key(input_string="k")
    assert (
        box.secret_key_to_string(secret_key=key, encrypted_string=lattice.TwFernet(key).encrypt(b"v").decode()) == "v"
    )


def test_c_functions_are_exported(lattice, core):
    assert all(hasattr(core.lib, name) for name in C_SYMBOLS)
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", lattice.__file__], capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in out.stdout.splitlines()}
    assert exported & {"PyInit_tw_lattice", *C_SYMBOLS} == {"PyInit_tw_lattice", *C_SYMBOLS}
    assert not {name for name in exported if "tw" in name.lower()} - {"PyInit_tw_lattice", *C_SYMBOLS}


def test_second_initialisation_is_refused(second_import_error):
    assert "already initialised in this process" in second_import_error("tidewing_lattice.tw_lattice")


HOST_SCRIPT = """\
from tidewing_lattice.tw_lattice import InvalidToken, TwFernet, tw_lattice

box = tw_lattice("a secret of some length")
token: str = box.encrypt_string("text")
text: str | None = box.decrypt_string(token)
blob: bytes = box.encrypt_data(b"x", "a.txt")
plain: bytes | None = box.decrypt_data(blob, filename="a.txt")
flag: bool = box.is_v2_data(blob)
key: str = box.string_to_secret_key("k")
again: str | None = box.secret_key_to_string(key, token)
cipher = TwFernet(TwFernet.generate_key())
try:
    data: bytes = cipher.decrypt(cipher.encrypt("s"), ttl=10)
except InvalidToken as error:
    reason: str = str(error)
wrong_data = box.encrypt_data("text")
wrong_result: bytes = box.encrypt_string("text")
"""


def test_stubs_type_check_a_host(lattice, type_check):
    errors, report = type_check(lattice, HOST_SCRIPT)
    assert errors == ["host.py:16", "host.py:17"], report
