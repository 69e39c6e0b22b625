"""The viewer's --encrypt and --decrypt: version-2 data bound to the file's name."""

import os
import subprocess
import sys

import pytest
from viewer_app import crypt
from viewer_harness import VIEWER, need_viewer_requirements, package_path

from tidewing_lattice.tw_lattice import tw_lattice

SECRET = "correct horse battery"
TEXT = b"# Plan\n\nMeet at the harbour at noon.\n"


def test_the_commands_seal_and_open_a_document(tmp_path):
    need_viewer_requirements()
    plan = tmp_path / "plan.md"
    plan.write_bytes(TEXT)
    env = dict(os.environ, TIDEWING_VIEWER_SECRET=SECRET, PYTHONPATH=package_path())

    def command(*arguments):
        return subprocess.run(
            [sys.executable, str(VIEWER / "viewer.py"), *arguments], env=env, capture_output=True, text=True, timeout=60
        )

    sealed = tmp_path / "plan.md.twenc"
    assert command("--encrypt", str(plan)).stdout == f"wrote {sealed}\n"
    assert sealed.read_bytes().startswith(b"TWEV2:") and TEXT not in sealed.read_bytes()
    refused = command("--decrypt", str(sealed))  # plan.md is still there
    assert (refused.returncode, refused.stderr) == (1, f"viewer: {plan} exists already\n")
    plan.unlink()
    assert command("--decrypt", str(sealed)).returncode == 0
    assert plan.read_bytes() == TEXT


def test_sealed_data_opens_only_under_its_name_and_secret(tmp_path):
    plan = tmp_path / "plan.md"
    plan.write_bytes(TEXT)
    sealed = crypt.encrypt(plan, SECRET)
    elsewhere = tmp_path / "moved"
    elsewhere.mkdir()
    moved = elsewhere / sealed.name
    moved.write_bytes(sealed.read_bytes())
    assert crypt.decrypt(moved, SECRET).read_bytes() == TEXT  # any folder, same name

    renamed = tmp_path / "budget.md.twenc"
    renamed.write_bytes(sealed.read_bytes())
    for path, secret in ((renamed, SECRET), (sealed, "another long secret")):
        with pytest.raises(crypt.CryptError, match="wrong secret, or .* was renamed or changed"):
            crypt.decrypt(path, secret)
    assert not (tmp_path / "budget.md").exists()


@pytest.mark.parametrize("case", ["empty", "short secret", "version 1", "no suffix"])
def test_refusals(tmp_path, case):
    source = tmp_path / "notes.md.twenc"
    source.write_bytes(tw_lattice(SECRET).encrypt_data(TEXT))  # version 1: bound to no name
    operation, secret, message = crypt.decrypt, SECRET, "was not made by --encrypt"
    if case == "empty":
        source = tmp_path / "empty.md"
        source.write_bytes(b"")
        operation, message = crypt.encrypt, "an empty file has nothing to encrypt"
    elif case == "short secret":
        secret, message = "short", "Secret key must be at least 8 characters"
    elif case == "no suffix":
        source = tmp_path / "notes.md"
        source.write_bytes(TEXT)
        message = r"only a \*.twenc file can be decrypted"
    with pytest.raises(crypt.CryptError, match=message):
        operation(source, secret)


def test_a_fifo_named_on_the_command_line_is_refused_at_once(tmp_path):
    need_viewer_requirements()
    fifo = tmp_path / "pipe.md"
    os.mkfifo(fifo)
    env = dict(os.environ, TIDEWING_VIEWER_SECRET=SECRET, PYTHONPATH=package_path())
    refused = subprocess.run(
        [sys.executable, str(VIEWER / "viewer.py"), "--encrypt", str(fifo)],
        env=env,
        capture_output=True,
        text=True,
        timeout=30,  # opening it to read would wait for a writer
    )
    assert refused.returncode == 1 and "no regular file" in refused.stderr
