"""Tree builders and the documented quick-open and listing steps written in
Python, for the scan, fuzzy, listing and picker tests to compare against."""

import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path
from types import SimpleNamespace

import pytest

from tidewing_quillery import pagecase

SEPARATORS = "/\\_-. "
REAL_SCANDIR = os.scandir


# ------------------------------------------------ the documented steps


def fuzzy_score(query, candidate):
    if not query:
        return 0
    haystack = candidate.lower()
    needle = query.lower()
    score, position, previous = 0, 0, -2
    for character in needle:
        found = haystack.find(character, position)
        if found == -1:
            return None
        if found == previous + 1:
            score += 5
        if found == 0 or haystack[found - 1] in SEPARATORS:
            score += 8
        previous = found
        position = found + 1
    return score - len(candidate) // 12


def is_markdown(path):
    return path.suffix.lower() in pagecase.MARKDOWN_SUFFIXES


def scan_markdown(roots):
    results, seen = [], set()
    for root in roots:
        try:
            base = root.resolve()
        except (OSError, RuntimeError):
            continue
        base_depth = len(base.parts)
        for dirpath, dirnames, filenames in os.walk(base, followlinks=False):
            if len(results) >= pagecase.MAX_SCAN_FILES:
                return results
            dirnames[:] = [d for d in dirnames if not d.startswith(".") and d not in pagecase.SKIP_DIRS]
            if len(Path(dirpath).parts) - base_depth >= pagecase.MAX_SCAN_DEPTH:
                dirnames.clear()
            for filename in filenames:
                if not is_markdown(Path(filename)):
                    continue
                path = os.path.join(dirpath, filename)
                if path in seen:
                    continue
                seen.add(path)
                results.append({"path": path, "name": filename,
                                "relative": os.path.relpath(path, base), "root": str(base)})
                if len(results) >= pagecase.MAX_SCAN_FILES:
                    return results
    return results


def search_markdown(roots, query, limit=40):
    candidates = scan_markdown(roots)
    if not query:
        return sorted(candidates, key=lambda item: item["name"].lower())[:limit]
    scored = []
    for item in candidates:
        name_score = fuzzy_score(query, item["name"])
        path_score = fuzzy_score(query, item["relative"])
        if name_score is None and path_score is None:
            continue
        name_term = (name_score if name_score is not None else -999) + 12
        path_term = path_score if path_score is not None else -999
        scored.append((max(name_term, path_term), item))
    scored.sort(key=lambda pair: (-pair[0], pair[1]["relative"].lower()))
    return [item for _, item in scored[:limit]]


def interesting(entry):
    return not entry.name.startswith(".") and entry.name not in pagecase.SKIP_DIRS


def list_folder(root, subpath=""):
    target = pagecase.contain(root, subpath) if subpath else root.resolve()
    if target is None or not target.is_dir():
        return None
    folders, files = [], []
    try:
        with os.scandir(target) as entries:
            for entry in entries:
                if not interesting(entry):
                    continue
                if entry.is_dir(follow_symlinks=False):
                    folders.append({"name": entry.name, "path": entry.path})
                elif entry.is_file(follow_symlinks=False) and is_markdown(Path(entry.name)):
                    files.append({"name": entry.name, "path": entry.path})
    except OSError:
        return None
    folders.sort(key=lambda item: item["name"].lower())
    files.sort(key=lambda item: item["name"].lower())
    return {"path": str(target), "name": target.name or str(target), "folders": folders, "files": files}


def browse_directories(raw="", include_files=False):
    target = Path(raw).expanduser().resolve() if raw else Path.home().resolve()
    if not target.is_dir():
        return None
    parent = None if target.parent == target else str(target.parent)
    folders, files, count = [], [], 0
    with os.scandir(target) as entries:
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                if interesting(entry):
                    folders.append({"name": entry.name, "path": entry.path})
            elif entry.is_file(follow_symlinks=False) and is_markdown(Path(entry.name)):
                count += 1
                if include_files:
                    files.append({"name": entry.name, "path": entry.path})
    folders.sort(key=lambda item: item["name"].lower())
    files.sort(key=lambda item: item["name"].lower())
    return {"path": str(target), "parent": parent, "folders": folders, "files": files,
            "markdown_count": count, "denied": False}


@pytest.fixture
def documented():
    """The documented steps, written plainly in Python."""
    return SimpleNamespace(fuzzy_score=fuzzy_score, scan_markdown=scan_markdown, search_markdown=search_markdown,
                           list_folder=list_folder, browse_directories=browse_directories)


@pytest.fixture(params=["as loaded", "rebound"])
def both_paths(request, monkeypatch):
    """Runs a test twice: with the module as loaded (native fast paths), and
    with is_markdown, fuzzy_score and _interesting rebound to the Python
    above, which takes every call through the documented steps."""
    if request.param == "rebound":
        monkeypatch.setattr(pagecase, "is_markdown", is_markdown)
        monkeypatch.setattr(pagecase, "fuzzy_score", fuzzy_score)
        monkeypatch.setattr(pagecase, "_interesting", interesting)


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
            return isolated(["--user"], "import json\nfrom pathlib import Path\n"
                            "from tidewing_quillery import pagecase\n" + script)
        finally:
            locked.chmod(0o755)

    return run


NAME_PIECES = ["a", "B", "notes", "Read Me", "x_y", "café", "CAFÉ", "Σίσυφος", "\u212a", "İ", "ß", "日記", "😀",
               "a-b", "A.B"]
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
    done = subprocess.run(["unshare", *unshare_args, sys.executable, str(path)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


UNDER_ASAN = "libasan" in Path("/proc/self/maps").read_text()


def run_in_child(action, timeout=60):
    """Run `action` in a forked copy of this process, failing unless it returns within `timeout`
    seconds; limits and identities it takes stay in the child."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail(f"the child was still running after {timeout} s")
        time.sleep(0.005)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.fixture
def in_child():
    return run_in_child


@pytest.fixture
def limit_memory():
    """For a child: caps its address space at 1 GiB. Skipped under AddressSanitizer, whose
    shadow memory alone takes more."""
    if UNDER_ASAN:
        pytest.skip("AddressSanitizer reserves more address space than the limit allows")
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))


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
