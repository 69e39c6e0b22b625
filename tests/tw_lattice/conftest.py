"""Fixtures for the encryption tests: the module, its exported AES functions,
and keys and tokens built by hand."""

import base64
import hashlib
import hmac
import importlib.util
import json
import struct
import sys
from pathlib import Path

import pytest

# Public third-party vectors beside the repository (see SOURCES.md there).
TESTDATA = Path(__file__).resolve().parents[3] / "shared" / "testdata"


def _load_c_aes():
    """c_aes.py under a name of its own (tests run in importlib mode)."""
    name = "tw_lattice_c_aes"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, Path(__file__).with_name("c_aes.py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


C_AES = _load_c_aes()


@pytest.fixture
def lattice():
    from tidewing_lattice import tw_lattice

    return tw_lattice


@pytest.fixture
def aes(lattice):
    return C_AES.CAes(lattice)


@pytest.fixture
def c_aes_script():
    return Path(C_AES.__file__)


@pytest.fixture
def shared_json():
    """Loads a JSON file of the shared third-party test data, or skips the test
    when it is absent."""

    def load(*parts):
        path = TESTDATA.joinpath(*parts)
        if not path.is_file():
            pytest.skip(f"{path} is not available")
        return json.loads(path.read_text(encoding="utf-8"))

    return load


class TokenMaker:
    """Builds tokens field by field, with a valid tag unless told otherwise."""

    def __init__(self, signing_key, encryption_key):
        self.signing_key, self.encryption_key = signing_key, encryption_key
        self.key = base64.urlsafe_b64encode(signing_key + encryption_key)

    def signed(self, body):
        return base64.urlsafe_b64encode(body + hmac.new(self.signing_key, body, hashlib.sha256).digest())

    def token(self, ciphertext, *, iv=bytes(16), timestamp=0, version=b"\x80"):
        return self.signed(version + struct.pack(">Q", timestamp) + iv + ciphertext)


@pytest.fixture
def maker():
    return TokenMaker(bytes(range(16)), bytes(range(16, 32)))
