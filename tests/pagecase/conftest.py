"""Tree builders, the reference versions of quick open and the listings as
fixtures, and stand-ins for os.scandir and other processes."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

import pytest

from reference import documents, listing, quick_open
from tidewing_quillery import pagecase

REAL_SCANDIR = os.scandir


# ------------------------------------------------ the documented steps


@pytest.fixture
def documented():
    """The documented steps, written plainly in Python (reference/)."""
    return SimpleNamespace(
        fuzzy_score=quick_open.fuzzy_score,
        scan_markdown=quick_open.scan_markdown,
        search_markdown=quick_open.search_markdown,
        list_folder=listing.list_folder,
        browse_directories=listing.browse_directories,
    )


@pytest.fixture(params=["as loaded", "rebound"])
def both_paths(request, monkeypatch):
    """Runs a test twice: with the module as loaded (native fast paths), and
    with is_markdown, fuzzy_score and _interesting rebound to the reference
    versions, which takes every call through the documented steps."""
    if request.param == "rebound":
        monkeypatch.setattr(pagecase, "is_markdown", documents.is_markdown)
        monkeypatch.setattr(pagecase, "fuzzy_score", quick_open.fuzzy_score)
        monkeypatch.setattr(pagecase, "_interesting", listing._interesting)


@pytest.fixture
def rebind_both(monkeypatch):
    """Rebinds a constant on the module and on the reference alike."""

    def rebind(name, value):
        monkeypatch.setattr(pagecase, name, value)
        monkeypatch.setattr(documents, name, value)

    return rebind


# ------------------------------------------------------------- trees


def build(base, layout):
    """Create files (str), folders (trailing "/") and links ("name -> target") below base."""
    for item in layout:
        if " -> " in item:
            name, target = item.split(" -> ")
            (base / name).parent.mkdir(parents=True, exist_ok=True)
            (base / name).symlink_to(target)
        elif item.endswith("/"):
            (base / item).mkdir(parents=True, exist_ok=True)
        else:
            (base / item).parent.mkdir(parents=True, exist_ok=True)
            (base / item).write_text("# x\n")
    return base


@pytest.fixture
def tree(tmp_path):
    return lambda *layout: build(tmp_path, layout)


@pytest.fixture
def isolated(tmp_path):
    """Run a script in another process under `unshare` (see run_isolated)."""
    return lambda unshare_args, script: run_isolated(unshare_args, script, tmp_path)


@pytest.fixture
def as_unprivileged(isolated):
    """Run a script where `locked` (a folder, mode 0 meanwhile) cannot be read:
    inside a user namespace root's privileges no longer bypass the mode bits."""

    def run(locked, script):
        locked.chmod(0)
        try:
            return isolated(
                ["--user"], "import json\nfrom pathlib import Path\nfrom tidewing_quillery import pagecase\n" + script
            )
        finally:
            locked.chmod(0o755)

    return run


NAME_PIECES = [
    "a",
    "B",
    "notes",
    "Read Me",
    "x_y",
    "café",
    "CAFÉ",
    "Σίσυφος",
    "\u212a",
    "İ",
    "ß",
    "日記",
    "😀",
    "a-b",
    "A.B",
]
SUFFIXES = [".md", ".MD", ".markdown", ".txt", ".m\u212ad", ".text", "", ".Md", ".mdown"]
DIR_NAMES = ["docs", "Docs", "node_modules", ".git", ".hidden", "build", "sub", "Zeta", "ñame", "deep"]


@pytest.fixture
def random_tree(tmp_path):
    return lambda seed: make_random_tree(tmp_path / f"random{seed}", seed)


def make_random_tree(base, seed, files=120):
    """A seeded tree mixing case, non-ASCII and undecodable names, hidden and skipped folders, and links."""
    rng = random.Random(seed)
    base.mkdir()
    folders = [base]
    for _ in range(files // 4):
        parent = rng.choice(folders)
        child = parent / rng.choice(DIR_NAMES)
        child.mkdir(exist_ok=True)
        folders.append(child)
    for k in range(files):
        name = rng.choice(NAME_PIECES) + str(k % 7) + rng.choice(SUFFIXES)
        (rng.choice(folders) / name).write_text("x")
    raw = os.fsencode(base) + b"/bad\xff-name.md"
    with open(raw, "wb"):
        pass
    (rng.choice(folders) / "to-folder.md").symlink_to(rng.choice(folders), target_is_directory=True)
    (rng.choice(folders) / "to-file.md").symlink_to(base / "bad\udcff-name.md")
    (rng.choice(folders) / "dangling.md").symlink_to(base / "missing")
    return base


class ListedEntries:
    """What os.scandir returns, over the given entries: a context manager and
    an iterator, raising `error` (if any) once they are used up."""

    def __init__(self, entries, error=None):
        self.entries, self.error = iter(entries), error

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def __iter__(self):
        return self

    def __next__(self):
        for entry in self.entries:
            return entry
        if self.error is not None:
            raise self.error
        raise StopIteration


class FailingScandir:
    """os.scandir failing for chosen folders ({path: (error, after)}, the key
    None for every folder): raising on opening when `after` is None, else
    after yielding `after` entries."""

    def __init__(self, failures):
        self.failures = failures

    def __call__(self, path="."):
        failure = self.failures.get(os.fspath(path), self.failures.get(None))
        if failure is None:
            return REAL_SCANDIR(path)
        error, after = failure
        if after is None:
            raise error
        return ListedEntries(list(REAL_SCANDIR(path))[:after], error)


@pytest.fixture
def scandir_stand_ins():
    return SimpleNamespace(failing=FailingScandir, listed=ListedEntries, real=REAL_SCANDIR)


# ------------------------------------------------------ other processes


def run_isolated(unshare_args, script, tmp_path):
    """Run a Python script under `unshare`, skipping when this machine does not allow it."""
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    probe = subprocess.run(["unshare", *unshare_args, "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("unshare " + " ".join(unshare_args) + " is not permitted here: " + probe.stderr.decode().strip())
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    path = tmp_path / "isolated.py"
    path.write_text(script)
    done = subprocess.run(
        ["unshare", *unshare_args, sys.executable, str(path)], env=env, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


NOBODY = 65534


def drop_root():
    """For a child: run on as an unprivileged user, so that mode bits bind (nothing when not root)."""
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)


def give_away(path):
    """Make `path` belong to the user drop_root() becomes."""
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY, follow_symlinks=False)


@pytest.fixture
def nobody():
    """The unprivileged user: `become()` it in a child, `own(path)` files it must own."""
    return SimpleNamespace(become=drop_root, own=give_away)


@pytest.fixture
def open_folder():
    """A folder anybody may enter and write in, outside the private test tree, for children
    that give up root."""
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o777)
    yield Path(folder)
    for inside, folders, _ in os.walk(folder):
        for name in folders:
            os.chmod(os.path.join(inside, name), 0o755)
    shutil.rmtree(folder)
