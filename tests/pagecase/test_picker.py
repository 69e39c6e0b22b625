"""The directory picker and its shortcuts."""

import json
import os
import pathlib
from pathlib import Path

import pytest

from tidewing_quillery import pagecase

LAYOUT = [
    "b.md",
    "A.md",
    "c.markdown",
    ".notes.md",
    "x.txt",
    "sub/",
    ".git/",
    "node_modules/",
    "Zed/",
    "link-dir -> sub",
    "link.md -> b.md",
]


def test_listing_counts_documents_and_offers_only_enterable_folders(tree, documented, both_paths):
    root = tree(*LAYOUT)
    result = pagecase.browse_directories(str(root))
    assert result == documented.browse_directories(str(root))
    assert list(result) == ["path", "parent", "folders", "files", "markdown_count", "denied"]
    assert (result["path"], result["parent"], result["denied"]) == (str(root), str(root.parent), False)
    assert [f["name"] for f in result["folders"]] == ["sub", "Zed"]
    assert (result["files"], result["markdown_count"]) == ([], 4)
    listed = pagecase.browse_directories(str(root), True)
    assert listed == documented.browse_directories(str(root), True)
    assert [f["name"] for f in listed["files"]] == [".notes.md", "A.md", "b.md", "c.markdown"]
    assert listed["files"][1] == {"name": "A.md", "path": str(root / "A.md")}


def test_home_is_the_default(private_home):
    result = pagecase.browse_directories()
    assert result["path"] == str(private_home.resolve()) and result["parent"] == str(private_home.resolve().parent)
    assert pagecase.browse_directories("~") == result == pagecase.browse_directories(raw="", include_files=False)
    assert pagecase.browse_directories(pathlib.PurePosixPath("~")) == result


def test_relative_paths_follow_the_working_directory(tree, monkeypatch):
    root = tree("inner/a.md")
    monkeypatch.chdir(root)
    assert pagecase.browse_directories("inner")["path"] == str(root / "inner")


def test_file_system_root_has_no_parent():
    assert pagecase.browse_directories("/")["parent"] is None


@pytest.mark.parametrize("raw", ["missing", "b.md", "a\0b", "\ud800", "x" * 300, "loop"])
def test_no_readable_directory_gives_none(tree, monkeypatch, raw):
    root = tree("b.md", "loop -> loop")
    monkeypatch.chdir(root)
    assert pagecase.browse_directories(raw) is None


def test_include_files_is_tested_once_per_document(tree):
    root = tree("a.md", "b.md", "c.txt")

    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            return True

    assert len(pagecase.browse_directories(str(root), Flag())["files"]) == 2
    assert Flag.calls == 2


@pytest.mark.parametrize("after", [None, 1])
def test_refused_reading_gives_the_denied_result(tree, monkeypatch, scandir_stand_ins, after):
    root = tree("a.md", "sub/")
    failing = scandir_stand_ins.failing
    monkeypatch.setattr(os, "scandir", failing({None: (PermissionError(13, "Permission denied"), after)}))
    assert pagecase.browse_directories(str(root), True) == {
        "path": str(root),
        "parent": str(root.parent),
        "folders": [],
        "files": [],
        "markdown_count": 0,
        "denied": True,
    }
    monkeypatch.setattr(os, "scandir", failing({None: (OSError(5, "Input/output error"), after)}))
    assert pagecase.browse_directories(str(root)) is None


def test_refused_reading_is_denied_natively(tree, as_unprivileged):
    root = tree("locked/a.md")
    out = as_unprivileged(root / "locked", f"print(json.dumps(pagecase.browse_directories({str(root / 'locked')!r})))")
    assert json.loads(out) == {
        "path": str(root / "locked"),
        "parent": str(root),
        "folders": [],
        "files": [],
        "markdown_count": 0,
        "denied": True,
    }


# ------------------------------------------------------------- shortcuts


def test_shortcuts_start_at_home_and_end_at_the_root(private_home):
    (private_home / "Documents").mkdir()
    (private_home / "Desktop").mkdir()
    shortcuts = pagecase.browse_shortcuts()
    assert shortcuts[:3] == [
        {"label": "Home", "path": str(private_home)},
        {"label": "Documents", "path": str(private_home / "Documents")},
        {"label": "Desktop", "path": str(private_home / "Desktop")},
    ]
    assert shortcuts[-1] == {"label": "Filesystem", "path": "/"}
    paths = [item["path"] for item in shortcuts]
    assert len(set(paths)) == len(paths) and all(Path(p).is_dir() for p in paths)
    (private_home / "Desktop").rmdir()
    assert [s["label"] for s in pagecase.browse_shortcuts()[:2]] == ["Home", "Documents"]
    assert "Desktop" not in [s["label"] for s in pagecase.browse_shortcuts()]


def test_home_at_the_root_takes_the_root(monkeypatch):
    monkeypatch.setenv("HOME", "/")
    shortcuts = pagecase.browse_shortcuts()
    assert shortcuts[0] == {"label": "Home", "path": "/"}
    assert [s for s in shortcuts if s["path"] == "/"] == [shortcuts[0]]


def test_rebound_path_is_used_for_every_step(private_home, monkeypatch):
    (private_home / "Documents").mkdir()
    calls = []

    class HostPath(type(Path())):
        def resolve(self, strict=False):
            calls.append(str(self))
            return super().resolve(strict)

    expected = pagecase.browse_shortcuts()
    monkeypatch.setattr(pagecase, "Path", HostPath)
    assert pagecase.browse_shortcuts() == expected
    assert calls[:3] == [str(private_home), str(private_home / "Documents"), str(private_home / "Desktop")]


MOUNTS_SCRIPT = """
import json, os, pathlib
from tidewing_quillery import pagecase
for mount in ("/media", "/mnt"):
    os.system("mount -t tmpfs none " + mount)
media = pathlib.Path("/media")
for name in "abcdefghij":
    (media / name).mkdir()
for name in "12345678":
    (pathlib.Path("/mnt") / name).write_text("x")
(pathlib.Path("/mnt") / "z").mkdir()
first = pagecase.browse_shortcuts()
for name in "cdefghij":
    (media / name).rmdir()
(media / "0root").symlink_to("/")
(media / "B").mkdir()
second = pagecase.browse_shortcuts()
print(json.dumps([first, second]))
"""


def test_mounted_volumes(private_home, isolated):
    # A private mount namespace gives /media and /mnt contents of our own.
    first, second = json.loads(isolated(["--mount", "--propagation", "private"], MOUNTS_SCRIPT))
    volumes = [s for s in first if s["path"].startswith(("/media/", "/mnt/"))]
    assert volumes == [{"label": name, "path": "/media/" + name} for name in "abcdefgh"]
    assert first[-1] == {"label": "Filesystem", "path": "/"}
    # Link to the root first in code-point order (digits, then upper case), the Filesystem entry dropped.
    assert second[1:] == [
        {"label": "0root", "path": "/"},
        {"label": "B", "path": "/media/B"},
        {"label": "a", "path": "/media/a"},
        {"label": "b", "path": "/media/b"},
    ]
