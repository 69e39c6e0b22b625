"""Fixtures for the encryption tests: the module, its exported C functions,
a child process on the portable paths, third-party vectors, and keys and
tokens built by hand."""

import base64
import contextlib
import hashlib
import hmac
import importlib.util
import json
import os
import struct
import subprocess
import sys
import types
from pathlib import Path

import pytest
from shared_data import shared_path

from reference import base64_310


def _load_c_core():
    """c_core.py under a name of its own (tests run in importlib mode)."""
    name = "tw_lattice_c_core"
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, Path(__file__).with_name("c_core.py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]


C_CORE = _load_c_core()


@pytest.fixture
def lattice():
    from tidewing_lattice import tw_lattice

    return tw_lattice


@pytest.fixture
def core(lattice):
    return C_CORE.Core(lattice)


@pytest.fixture
def portable_core():
    """Runs calls of c_core.Core in a child process on the portable AES and
    SHA-256; returns the child's implementations and the results (bytes as hex)."""

    def run(calls):
        env = dict(
            os.environ, TW_LATTICE_PORTABLE_AES="1", TW_LATTICE_PORTABLE_SHA="1", PYTHONPATH=os.pathsep.join(sys.path)
        )
        out = subprocess.run(
            [sys.executable, C_CORE.__file__],
            input=json.dumps(calls),
            env=env,
            capture_output=True,
            text=True,
            check=True,
        )
        answer = json.loads(out.stdout)
        return answer["implementations"], answer["results"]

    return run


STANDARD_NAMES = ("base64", "hashlib", "hmac_mod", "os", "struct", "time_module")


@pytest.fixture
def documented_steps(lattice, monkeypatch):
    """A context manager under which the module's standard modules are plain
    stand-ins forwarding to the real functions: every call then takes the
    documented steps instead of the native route. The stand-in base64 decodes
    with `decoder`: by default CPython 3.10's, which the native route keeps on
    every release (releases.py), so that both routes read base64 alike."""

    @contextlib.contextmanager
    def rebound(decoder=base64_310.urlsafe_b64decode):
        with monkeypatch.context() as patch:
            for name in STANDARD_NAMES:
                patch.setattr(lattice, name, types.SimpleNamespace(**vars(getattr(lattice, name))))
            patch.setattr(lattice.base64, "urlsafe_b64decode", decoder)
            yield

    return rebound


@pytest.fixture
def outcome():
    """What a call gives: ("ok", result), or the type and message of what it raised."""

    def run(call, *args, **kwargs):
        try:
            return "ok", call(*args, **kwargs)
        except Exception as error:
            return type(error).__name__, str(error)

    return run


def shared_file(*parts):
    """A file of the shared third-party test vectors (skipped when absent, failed under CI)."""
    return shared_path(*parts)


@pytest.fixture
def shared_json():
    """Loads a JSON file of the shared third-party test vectors."""

    def load(*parts):
        return json.loads(shared_file(*parts).read_text(encoding="utf-8"))

    return load


@pytest.fixture
def shared_text():
    """Reads a text file of the shared third-party test vectors."""
    return lambda *parts: shared_file(*parts).read_text(encoding="utf-8")


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
