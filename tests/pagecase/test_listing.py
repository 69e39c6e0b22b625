"""The folder listing of the tree browser and its entry filter."""

import os
from pathlib import Path
from types import SimpleNamespace

import pytest

from tidewing_quillery import pagecase
from tidewing_quillery.__main__ import main

LAYOUT = [
    "beta/",
    "Alpha/",
    "gamma/",
    "README.MD",
    "notes.txt",
    "b.md",
    "B.md",
    "a.markdown",
    ".git/",
    "node_modules/",
    "__pycache__/",
    ".hidden.md",
    "dist",
    "link-folder -> beta",
    "link-file.md -> b.md",
    "dangling.md -> nowhere",
]


@pytest.mark.parametrize(
    "name, expected",
    [
        ("docs", True),
        (".git", False),
        (".anything", False),
        ("node_modules", False),
        ("build", False),
        ("Build", True),
        (".DS_Store", False),
        ("notes.md", True),
        ("", True),
    ],
)
def test_interesting_looks_at_the_name_only(name, expected):
    assert pagecase._interesting(SimpleNamespace(name=name)) is expected
    assert pagecase._interesting(entry=SimpleNamespace(name=name)) is expected


def test_listing_of_the_root(tree, documented, both_paths):
    root = tree(*LAYOUT)
    listing = pagecase.list_folder(root)
    assert listing == documented.list_folder(root)
    assert list(listing) == ["path", "name", "folders", "files"]
    assert listing["path"] == str(root.resolve()) and listing["name"] == root.name
    assert [f["name"] for f in listing["folders"]] == ["Alpha", "beta", "gamma"]
    assert [f["name"] for f in listing["files"]][:1] == ["a.markdown"]
    assert sorted(f["name"] for f in listing["files"]) == ["B.md", "README.MD", "a.markdown", "b.md"]
    assert listing["folders"][0] == {"name": "Alpha", "path": str(root / "Alpha")}


def test_case_ties_keep_directory_order(tree):
    root = tree("B.md", "b.md", "b.MD")
    order = [entry.name for entry in os.scandir(root)]
    assert [f["name"] for f in pagecase.list_folder(root)["files"]] == order


def test_random_folders_equal_the_documented_steps(random_tree, documented, both_paths):
    root = random_tree(5)
    for folder in [root, *[p for p in root.rglob("*") if p.is_dir() and not p.is_symlink()]]:
        subpath = str(folder.relative_to(root))
        assert pagecase.list_folder(root, subpath) == documented.list_folder(root, subpath)


@pytest.mark.parametrize(
    "subpath",
    ["a/../../outside", "../outside", "/etc", "file.md", "missing", "a\0b", "\ud800", "x" * 300, "a/" + "y" * 300],
)
def test_refused_subpaths_give_none(tree, subpath):
    root = tree("inside/a/", "inside/file.md", "outside/") / "inside"
    assert pagecase.list_folder(root, subpath) is None


def test_subpaths_relative_absolute_and_through_links(tree):
    root = tree("docs/sub/x.md", "docs/empty/", "docs/to-sub -> sub")
    docs = root / "docs"
    assert pagecase.list_folder(docs, "sub")["files"] == [{"name": "x.md", "path": str(docs / "sub" / "x.md")}]
    assert pagecase.list_folder(docs, str(docs / "sub")) == pagecase.list_folder(docs, "sub")
    assert pagecase.list_folder(docs, "to-sub") == pagecase.list_folder(docs, "sub")
    assert pagecase.list_folder(docs, "empty") == {
        "path": str(docs / "empty"),
        "name": "empty",
        "folders": [],
        "files": [],
    }
    assert pagecase.list_folder(root / "docs" / "to-sub", "") == pagecase.list_folder(docs, "sub")


def test_file_system_root_is_named_slash():
    listing = pagecase.list_folder(Path("/"))
    assert (listing["path"], listing["name"]) == ("/", "/")


def test_unresolvable_root_raises(tree):
    root = tree("loop-a -> loop-b", "loop-b -> loop-a")
    with pytest.raises(RuntimeError, match="^Symlink loop from '" + str(root / "loop-a") + "'$"):
        pagecase.list_folder(root / "loop-a")


@pytest.mark.parametrize(
    "error, after",
    [
        (PermissionError(13, "Permission denied"), None),
        (OSError(5, "Input/output error"), None),
        (OSError(5, "Input/output error"), 1),
    ],
)
def test_folders_that_cannot_be_read_give_none(tree, monkeypatch, scandir_stand_ins, error, after):
    root = tree("a.md", "b.md", "sub/")
    monkeypatch.setattr(os, "scandir", scandir_stand_ins.failing({None: (error, after)}))
    assert pagecase.list_folder(root) is None


def test_unreadable_folder_gives_none_natively(tree, as_unprivileged):
    root = tree("locked/a.md")
    out = as_unprivileged(root / "locked", f"print(pagecase.list_folder(Path({str(root)!r}), 'locked'))")
    assert out.strip() == "None"


def test_one_entry_failing_its_type_test_is_left_out(tree, monkeypatch, scandir_stand_ins):
    root = tree("good.md", "bad.md", "sub/")

    class Entry:
        def __init__(self, entry):
            self.entry, self.name, self.path = entry, entry.name, entry.path

        def is_dir(self, follow_symlinks=True):
            if self.name == "bad.md":
                raise OSError(5, "Input/output error")
            return self.entry.is_dir(follow_symlinks=follow_symlinks)

        def is_file(self, follow_symlinks=True):
            return self.entry.is_file(follow_symlinks=follow_symlinks)

    monkeypatch.setattr(
        os, "scandir", lambda path: scandir_stand_ins.listed([Entry(entry) for entry in scandir_stand_ins.real(path)])
    )
    listing = pagecase.list_folder(root)
    assert [f["name"] for f in listing["files"]] == ["good.md"]
    assert [f["name"] for f in listing["folders"]] == ["sub"]


def test_rebound_names_are_called(tree, monkeypatch):
    root = tree("keep.md", "drop.md", "x.txt", "sub/")
    seen = []

    def host_interesting(entry):
        seen.append(type(entry))
        return entry.name != "drop.md"

    monkeypatch.setattr(pagecase, "_interesting", host_interesting)
    monkeypatch.setattr(pagecase, "is_markdown", lambda path: path.suffix in {".md", ".txt"})
    listing = pagecase.list_folder(root)
    assert [f["name"] for f in listing["files"]] == ["keep.md", "x.txt"]
    assert set(seen) == {os.DirEntry}
    calls = []
    monkeypatch.setattr(pagecase, "contain", lambda r, raw: calls.append(raw) or r / "sub")
    assert pagecase.list_folder(root, "anything")["path"] == str(root / "sub")
    assert calls == ["anything"]


def test_command_line_ls(tree, capsys):
    root = tree("docs/b.md", "docs/A.md", "docs/sub/", "docs/x.txt")
    assert main(["ls", str(root), "docs"]) == 0
    assert capsys.readouterr().out == "sub/\nA.md\nb.md\n"
    assert main(["ls", str(root / "docs"), ".."]) == 1
    assert "not a folder that can be listed" in capsys.readouterr().err
