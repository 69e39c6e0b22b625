"""Objects a host passes that are not the expected built-in types take the documented steps: the same
result, or the same exception type reaching the caller (None where a step turns it into a refusal)."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path, PurePosixPath
from types import SimpleNamespace

import pytest

from tidewing_quillery import pagecase


class Text(str):
    """A str subclass whose str() is other text: CPython 3.10's pathlib parses str(raw)."""

    def __new__(cls, value, shown):
        text = super().__new__(cls, value)
        text.shown = shown
        return text

    def __str__(self):
        return self.shown


class PathLike:
    """os.PathLike whose __fspath__ returns `result`, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Untrue:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.fixture
def docs(tmp_path):
    root = tmp_path / "docs"
    (root / "sub").mkdir(parents=True)
    (root / "a.md").write_text("# a")
    (root / "sub" / "b.md").write_text("# b")
    return root


def outside_path_calls(docs):
    """Each call that takes an outside path, with what it answers for the text "sub"."""
    return {
        "contain": (lambda raw: pagecase.contain(docs, raw), docs / "sub"),
        "resolve_document": (lambda raw: pagecase.resolve_document(raw), None),  # a folder
        "list_folder": (lambda raw: (pagecase.list_folder(docs, raw) or {}).get("path"), str(docs / "sub")),
        "browse_directories": (lambda raw: (pagecase.browse_directories(raw) or {}).get("path"),
                               str(docs / "sub")),
    }


@pytest.mark.parametrize("call", ["contain", "resolve_document", "list_folder", "browse_directories"])
@pytest.mark.parametrize("rebound", [False, True])
def test_outside_paths_of_other_types(docs, monkeypatch, call, rebound):
    monkeypatch.chdir(docs)
    if rebound:  # the documented steps through the module's current Path
        monkeypatch.setattr(pagecase, "Path", type("HostPath", (type(Path()),), {}))
    run, answer = outside_path_calls(docs)[call]
    assert run(PathLike("sub")) == answer
    assert run(PurePosixPath("sub")) == answer
    # Path(raw) is a guarded step: OSError and RuntimeError refuse, anything else reaches the caller.
    assert run(PathLike(OSError(5, "Input/output error"))) is None
    assert run(PathLike(RuntimeError("gone"))) is None
    for raw, error in [(PathLike(ValueError("bad")), ValueError), (PathLike(b"sub"), TypeError),
                       (Untrue(), ZeroDivisionError)]:
        with pytest.raises(error):
            run(raw)
    if sys.version_info < (3, 11) or not rebound:  # later pathlib no longer calls str() on str subclasses
        assert run(Text("elsewhere", "sub")) == answer
        assert run(PathLike(Text("elsewhere", "sub"))) == answer


def test_a_root_record_resolving_to_a_pure_path_is_walked_with_os_walk(docs, documented, both_paths):
    record = SimpleNamespace(resolve=lambda: PurePosixPath(docs))
    assert pagecase.scan_markdown([record]) == documented.scan_markdown([docs])


def test_fuzzy_score_of_str_subclasses_uses_their_own_lower(documented, both_paths):
    class Lowered(str):
        def lower(self):
            return "b"

    assert pagecase.fuzzy_score(Lowered("q"), "x_b") == documented.fuzzy_score(Lowered("q"), "x_b") == 8
    assert pagecase.fuzzy_score("b", Lowered("zzz")) == documented.fuzzy_score("b", Lowered("zzz")) == 8


def test_interesting_reads_the_name_for_each_test():
    class Entry:
        reads = 0

        @property
        def name(self):
            Entry.reads += 1
            return "docs" if Entry.reads == 1 else "node_modules"

    assert pagecase._interesting(Entry()) is False and Entry.reads == 2

    class Hidden(str):
        def startswith(self, prefix):
            return True

    assert pagecase._interesting(SimpleNamespace(name=Hidden("docs"))) is False

    class Failing:
        @property
        def name(self):
            raise PermissionError("no name")

    with pytest.raises(PermissionError):
        pagecase._interesting(Failing())


def test_pruning_takes_a_str_subclass_as_path_does(docs):
    """CPython 3.10's Path(text) parses str(text); the native pruning keeps that on every interpreter."""
    entries = [{"path": Text(str(docs / "a.md"), str(docs / "gone"))}]
    assert pagecase.RecentFiles(docs / "r.json", entries).prune() == []


MEMORY_SCRIPT = textwrap.dedent("""
    import resource, sys
    from pathlib import Path
    from tidewing_quillery import pagecase
    root = Path(sys.argv[1])
    pagecase.search_markdown([root], "n")  # everything loaded once
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    outcomes = set()
    for headroom in range(0, 24 << 20, 1 << 20):
        resource.setrlimit(resource.RLIMIT_AS, (used + headroom, resource.RLIM_INFINITY))
        for call in (lambda: pagecase.scan_markdown([root]), lambda: pagecase.search_markdown([root], "n"),
                     lambda: pagecase.list_folder(root, "wide"), lambda: pagecase.browse_directories(str(root / "wide"))):
            try:
                call()
                outcomes.add("result")
            except MemoryError:
                outcomes.add("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    print(sorted(outcomes))
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer reserves the address space")
def test_walks_and_listings_out_of_memory_raise_memory_error(tmp_path):
    wide = tmp_path / "wide"
    wide.mkdir()
    for k in range(3000):
        (wide / (f"{k:05}-" + "n" * 200 + ".md")).touch()
    for k in range(200):
        (tmp_path / f"d{k}").mkdir()
    script = tmp_path / "memory.py"
    script.write_text(MEMORY_SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, str(script), str(tmp_path)], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert "MemoryError" in done.stdout and "result" in done.stdout
