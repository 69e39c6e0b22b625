"""--encrypt and --decrypt: a document sealed with tw_lattice, bound to its name.

encrypt_data(data, filename) gives version-2 data, whose key is derived from
the secret and the file's base name: "plan.md.twenc" opens only as
"plan.md", so a sealed file renamed to pass for another one does not
decrypt. The secret comes from $TIDEWING_VIEWER_SECRET or is asked for.
"""

import getpass
import os
import sys
from pathlib import Path

from tidewing_lattice.tw_lattice import InvalidToken, tw_lattice
from tidewing_quillery import pagecase

from .files import read_regular

SUFFIX = ".twenc"
SECRET_VARIABLE = "TIDEWING_VIEWER_SECRET"
MAX_PLAIN_BYTES = pagecase.MAX_DOCUMENT_BYTES
MAX_SEALED_BYTES = 2 * MAX_PLAIN_BYTES  # a token's base64 is 4/3 of what it holds, plus a header


class CryptError(Exception):
    """A sealing or opening that failed, with a message for the user."""


def ask_secret(confirm):
    secret = os.environ.get(SECRET_VARIABLE)
    if secret:
        return secret
    secret = getpass.getpass("Secret: ")
    if confirm and getpass.getpass("Secret again: ") != secret:
        raise CryptError("the two secrets differ")
    return secret


def _box(secret):
    try:
        return tw_lattice(secret)
    except ValueError as refusal:  # too short, too long or empty, in the module's words
        raise CryptError(str(refusal)) from None


def _read(path, limit):
    """The bytes of the file at `path` (a link the user named is followed),
    read without waiting on a FIFO or device."""
    found = read_regular(Path(path).resolve(), limit)
    if found is None:
        raise CryptError(f"{path}: no regular file of at most {limit} bytes that can be read")
    return found[0]


def encrypt(source, secret):
    """Seal `source` as `<name>.twenc` beside it; returns the new file."""
    data = _read(source, MAX_PLAIN_BYTES)
    if not data:
        raise CryptError("an empty file has nothing to encrypt")
    sealed = _box(secret).encrypt_data(data, Path(source).name)
    return _write_new(Path(source).with_name(Path(source).name + SUFFIX), sealed)


def decrypt(source, secret):
    """Open `<name>.twenc` as `<name>` beside it; returns the new file."""
    source = Path(source)
    if not source.name.endswith(SUFFIX) or source.name == SUFFIX:
        raise CryptError(f"only a *{SUFFIX} file can be decrypted")
    name = source.name[: -len(SUFFIX)]
    sealed = _read(source, MAX_SEALED_BYTES)
    box = _box(secret)
    if not box.is_v2_data(sealed):  # version 1 is bound to no name: not made by --encrypt
        raise CryptError(f"{source.name} was not made by --encrypt")
    try:
        data = box.decrypt_data(sealed, name)
    except InvalidToken:
        raise CryptError(f"wrong secret, or {source.name} was renamed or changed") from None
    return _write_new(source.with_name(name), data)


def _write_new(path, data):
    """Write a file that must not exist yet: nothing the user has is overwritten."""
    try:
        with open(path, "xb") as file:
            file.write(data)
    except FileExistsError:
        raise CryptError(f"{path} exists already") from None
    return path


def run(encrypt_path, decrypt_path):
    """The command: 0 on success, 1 with a message on stderr otherwise."""
    try:
        if encrypt_path is not None:
            print(f"wrote {encrypt(encrypt_path, ask_secret(confirm=True))}")
        else:
            print(f"wrote {decrypt(decrypt_path, ask_secret(confirm=False))}")
    except (CryptError, OSError) as failure:
        print(f"viewer: {failure}", file=sys.stderr)
        return 1
    return 0
