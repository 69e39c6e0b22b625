"""Patched pathlib methods count as rebinding: every native fast path stands aside and the
documented steps call the host's methods, whether they were patched on pathlib's classes or
overridden by a Path subclass."""

import os
import pathlib
from pathlib import Path

import pytest
import releases

from tidewing_quillery import pagecase

PosixPath = type(Path())


@pytest.fixture
def site(tmp_path, private_home, monkeypatch):
    """A folder of documents, a home with Documents, and a state folder."""
    docs = tmp_path / "docs"
    for folder in ("sub", "img", ".hidden"):
        (docs / folder).mkdir(parents=True)
    for name in ("a.md", "B.md", "notes.txt"):
        (docs / name).write_text("# x\n")
    (docs / "img" / "p.png").write_bytes(b"png")
    (private_home / "Documents").mkdir()
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(tmp_path / "state"))
    return docs


SCENARIOS = {
    "contain": lambda docs: pagecase.contain(docs, "sub/../a.md"),
    "contain_home": lambda docs: pagecase.contain(Path.home(), "~/Documents"),
    "is_markdown": lambda docs: pagecase.is_markdown(docs / "a.md"),
    "resolve_document": lambda docs: pagecase.resolve_document(str(docs / "a.md")),
    "resolve_asset": lambda docs: pagecase.resolve_asset(docs / "a.md", "img/p.png"),
    "list_folder": lambda docs: (pagecase.list_folder(docs), pagecase.list_folder(docs, "sub")),
    "scan": lambda docs: pagecase.scan_markdown([docs]),
    "search": lambda docs: pagecase.search_markdown([docs], "a"),
    "browse": lambda docs: pagecase.browse_directories(str(docs), True),
    "browse_home": lambda docs: pagecase.browse_directories(),
    "shortcuts": lambda docs: pagecase.browse_shortcuts(),
    "recent_prune": lambda docs: pagecase.RecentFiles(
        docs / "recent.json", [{"path": str(docs / "a.md")}, {"path": str(docs / "gone.md")}]
    ).prune(),
    "roots": lambda docs: pagecase.Workspaces(
        docs / "w.json", [{"path": str(docs)}, {"path": str(docs / "a.md")}]
    ).roots(),
    "owning_root": lambda docs: pagecase.Workspaces(docs / "w.json", [{"path": str(docs)}]).owning_root(docs / "sub"),
    "state_dir": lambda docs: pagecase.state_dir(),
}

# The scenarios whose documented steps call each method directly, on every interpreter.
CALLED_BY = {
    "resolve": [
        "contain",
        "contain_home",
        "resolve_document",
        "resolve_asset",
        "list_folder",
        "scan",
        "search",
        "browse",
        "browse_home",
        "shortcuts",
        "owning_root",
    ],
    "expanduser": [
        "contain",
        "contain_home",
        "resolve_document",
        "resolve_asset",
        "list_folder",
        "browse",
        "owning_root",
    ],
    "is_absolute": ["contain", "resolve_asset", "list_folder", "owning_root"],
    "is_dir": ["list_folder", "browse", "browse_home", "shortcuts", "roots"],
    "is_file": ["resolve_document", "resolve_asset", "recent_prune"],
    "home": ["browse_home", "shortcuts"],
    "suffix": ["is_markdown", "resolve_document", "resolve_asset", "list_folder", "scan", "search", "browse"],
    "parent": ["resolve_asset", "browse"],
    "parents": ["contain", "contain_home", "resolve_asset", "list_folder", "owning_root"],
    "parts": ["scan", "search"],
    "name": ["list_folder"],
    "__truediv__": ["contain", "resolve_asset", "list_folder", "shortcuts", "owning_root"],
    "__fspath__": ["list_folder", "scan", "search", "browse"],
    "__str__": ["list_folder", "scan", "browse", "shortcuts", "recent_prune"],
    "__eq__": ["contain", "browse"],
    "__new__": ["contain", "resolve_document", "list_folder", "browse", "recent_prune", "roots"],
}
if releases.PATHLIB_TESTS_CALL_STAT:
    CALLED_BY["stat"] = ["resolve_document", "recent_prune", "list_folder", "browse", "contain", "scan"]


def owner_of(name):
    return next(cls for cls in PosixPath.__mro__ if name in vars(cls))


def tracing(original, record):
    """`original` (a class attribute: function, property, classmethod or staticmethod) calling `record` first."""
    if isinstance(original, property):
        return property(lambda self: (record(), original.fget(self))[1])
    for kind in (classmethod, staticmethod):
        if isinstance(original, kind):
            func = original.__func__
            return kind(lambda *args, **kwargs: (record(), func(*args, **kwargs))[1])
    return lambda *args, **kwargs: (record(), original(*args, **kwargs))[1]


@pytest.mark.parametrize("method", sorted(CALLED_BY))
def test_patched_methods_are_called_and_change_nothing_else(site, monkeypatch, method):
    expected = {name: scenario(site) for name, scenario in SCENARIOS.items()}  # natively, as loaded
    owner = owner_of(method)
    calls = []
    monkeypatch.setattr(owner, method, tracing(vars(owner)[method], lambda: calls.append(True)))
    callers = []
    for name, scenario in SCENARIOS.items():
        calls.clear()
        assert scenario(site) == expected[name], name
        if calls:
            callers.append(name)
    assert set(CALLED_BY[method]) <= set(callers)


def test_a_patch_shows_at_the_next_call_and_so_does_its_undoing(site, monkeypatch):
    """What the native routes found for a class is kept between calls: a base patched after a
    native call, the patch undone and made again, each shows at once, for a subclass too."""
    paths = [site / "a.md", type("Sub", (PosixPath,), {"__slots__": ()})(site / "a.md")]
    owner, calls = owner_of("suffix"), []
    for _ in range(2):
        assert all(pagecase.is_markdown(path) for path in paths) and calls == []
        with monkeypatch.context() as patch:
            patch.setattr(owner, "suffix", tracing(vars(owner)["suffix"], lambda: calls.append(True)))
            assert all(pagecase.is_markdown(path) for path in paths) and len(calls) == 2
        calls.clear()


def test_a_patched_home_reaches_every_caller(site, tmp_path, monkeypatch):
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "Desktop").mkdir(parents=True)
    monkeypatch.delenv("TIDEWING_MD_STATE_DIR")
    monkeypatch.setattr(pathlib.Path, "home", classmethod(lambda cls: cls(elsewhere)))
    assert pagecase.state_dir() == elsewhere / ".tidewing" / "quillery"
    assert pagecase.browse_directories()["path"] == str(elsewhere)
    assert pagecase.browse_shortcuts()[:2] == [
        {"label": "Home", "path": str(elsewhere)},
        {"label": "Desktop", "path": str(elsewhere / "Desktop")},
    ]


def test_prune_honours_a_patched_is_file_where_the_steps_look_it_up(site, monkeypatch):
    entries = [{"path": str(site / "a.md")}, {"path": str(site / "sub")}]
    monkeypatch.setattr(pathlib.Path, "is_file", lambda self: self.name == "sub")
    monkeypatch.setattr(pathlib.Path, "is_dir", lambda self: self.name == "a.md")
    assert pagecase.RecentFiles(site / "r.json", list(entries)).prune() == entries[1:]
    assert pagecase.Workspaces(site / "w.json", list(entries)).roots() == [site / "a.md"]
    # PathList.prune's default is the function pathlib.Path.is_file had when the class was made.
    assert pagecase.Favorites(site / "f.json", list(entries)).prune() == entries[:1]


def test_a_root_whose_class_overrides_resolve_is_resolved_by_it(site, tmp_path):
    """The override moves every root to another folder, which each call then works in."""
    other = tmp_path / "other"
    (other / "sub").mkdir(parents=True)
    (other / "z.md").write_text("# z")

    class Moved(PosixPath):
        def resolve(self, strict=False):
            return PosixPath(str(self).replace(str(site), str(other))).resolve(strict)

    class HostWorkspaces(pagecase.Workspaces):
        def roots(self):
            return [root]

    root = Moved(site)
    assert pagecase.contain(root, "z.md") == other / "z.md"
    assert pagecase.contain(root, str(site / "a.md")) is None
    assert [f["name"] for f in pagecase.list_folder(root)["files"]] == ["z.md"]
    assert pagecase.list_folder(root, "sub")["path"] == str(other / "sub")
    assert [item["path"] for item in pagecase.scan_markdown([root])] == [str(other / "z.md")]
    workspaces = HostWorkspaces(site / "w.json")
    assert workspaces.owning_root(other / "z.md") is root
    assert workspaces.owning_root(site / "a.md") is None


def test_subclass_overrides_of_file_tests_and_text_are_called(site):
    seen = []

    class Watched(PosixPath):
        def is_dir(self):
            seen.append("is_dir")
            return super().is_dir()

        def __fspath__(self):
            seen.append("fspath")
            return super().__fspath__()

        @property
        def suffix(self):
            seen.append("suffix")
            return super().suffix

    root = Watched(site)
    assert pagecase.list_folder(root) == pagecase.list_folder(site)
    assert pagecase.is_markdown(Watched("x.MD")) and seen.count("suffix") == 1
    assert pagecase.contain(root, "a.md") == site / "a.md"
    assert pagecase.contain(site, Watched("a.md")) == site / "a.md"
    assert {"is_dir", "fspath"} <= set(seen)


def test_an_instance_attribute_that_shadows_a_method_is_called(site):
    class Roomy(PosixPath):
        pass  # no __slots__: instances take attributes

    root = Roomy(site)
    assert pagecase.contain(root, "a.md") == site / "a.md"
    root.resolve = lambda: site / "sub"
    assert pagecase.contain(root, "a.md") is None
    assert pagecase.list_folder(root)["path"] == str(site / "sub")


def test_native_file_tests_raise_with_the_path_text_as_filename(site, monkeypatch):
    too_long = str(site / ("x" * 300))
    with pytest.raises(OSError) as raised:
        pagecase.RecentFiles(site / "r.json", [{"path": too_long}]).prune()
    assert raised.value.filename == too_long and type(raised.value.filename) is str
    assert "PosixPath" not in str(raised.value)
    monkeypatch.setenv("HOME", too_long)
    with pytest.raises(OSError) as raised:
        pagecase.browse_shortcuts()
    assert raised.value.filename == too_long and type(raised.value.filename) is str
    # The documented steps call pathlib's own is_dir(), which raises the same up to 3.13 and
    # answers False from 3.14 on: the folders below home are then left out (releases.py).
    monkeypatch.setattr(pathlib.Path, "resolve", lambda self, strict=False: PosixPath(os.path.abspath(self)))
    if not releases.PATHLIB_TESTS_RAISE:
        assert {"Home", "Documents", "Desktop"}.isdisjoint(s["label"] for s in pagecase.browse_shortcuts())
        return
    with pytest.raises(OSError) as documented:
        pagecase.browse_shortcuts()
    assert (documented.value.errno, documented.value.filename) == (raised.value.errno, too_long)
