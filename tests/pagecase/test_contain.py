"""Containment of outside paths and the Markdown test."""

import os
import pathlib
import random
from pathlib import Path

import pytest
import releases
from shared_data import shared_path, unavailable

from reference.documents import contain as reference_contain
from tidewing_quillery import pagecase


@pytest.fixture
def docs(tmp_path):
    """root/docs with img/a.png, sub/, a sibling docs-old/ and a file outside."""
    root = tmp_path / "docs"
    (root / "img").mkdir(parents=True)
    (root / "sub").mkdir()
    (root / "img" / "a.png").write_bytes(b"png")
    (tmp_path / "docs-old").mkdir()
    (tmp_path / "secret").write_text("outside")
    return root


@pytest.mark.parametrize("raw", ["", None])
def test_false_input_is_refused(docs, raw):
    assert pagecase.contain(docs, raw) is None


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("img/a.png", "img/a.png"),
        ("img/missing.png", "img/missing.png"),
        ("sub/../img/a.png", "img/a.png"),
        (".", ""),
        ("img/../../secret", None),
        ("../docs-old/a.md", None),
        ("/etc/passwd", None),
        ("//etc/passwd", None),
    ],
)
def test_relative_and_absolute_inputs(docs, raw, expected):
    result = pagecase.contain(docs, raw)
    if expected is None:
        assert result is None
    else:
        assert result == (docs / expected).resolve()
        assert type(result) is pathlib.PosixPath


def test_absolute_inputs_inside_and_common_prefix(docs):
    assert pagecase.contain(docs, str(docs)) == docs.resolve()
    assert pagecase.contain(docs, str(docs / "sub" / ".." / "img")) == docs / "img"
    assert pagecase.contain(docs, str(docs) + "-old/a.md") is None


def test_tilde_expands_before_judging(docs, monkeypatch):
    monkeypatch.setenv("HOME", str(docs / "sub"))
    assert pagecase.contain(docs, "~/notes.md") == docs / "sub" / "notes.md"
    assert pagecase.contain(docs, "./~/notes.md") == docs / "sub" / "notes.md"  # pathlib drops "."
    monkeypatch.setenv("HOME", str(docs.parent))
    assert pagecase.contain(docs, "~/notes.md") is None
    assert pagecase.contain(docs, "~no-such-user-here/x") is None


def test_symbolic_links(docs, tmp_path):
    (tmp_path / "elsewhere").mkdir()
    (docs / "out").symlink_to(tmp_path / "elsewhere")
    (docs / "inner").symlink_to(docs / "img")
    (docs / "dangling").symlink_to(docs / "nowhere")
    assert pagecase.contain(docs, "out/a.png") is None
    assert pagecase.contain(docs, "inner/a.png") == docs / "img" / "a.png"
    assert pagecase.contain(docs, "dangling") == docs / "nowhere"
    outside_link = tmp_path / "into-docs"
    outside_link.symlink_to(docs / "img")
    assert pagecase.contain(docs, str(outside_link / "a.png")) == docs / "img" / "a.png"


def test_root_that_is_a_link(docs, tmp_path):
    link = tmp_path / "link-to-docs"
    link.symlink_to(docs)
    assert pagecase.contain(link, "img/a.png") == docs / "img" / "a.png"
    assert pagecase.contain(link, "../secret") is None


@pytest.mark.parametrize("rebound", [False, True])
def test_loops_answer_none_on_every_interpreter(docs, monkeypatch, rebound):
    """Python 3.13's resolve() no longer raises for a loop (releases.RESOLVE_REPORTS_LOOPS); the
    answer stays None, also where the documented steps run through a rebound Path."""
    if rebound:
        monkeypatch.setattr(pagecase, "Path", type("HostPath", (type(Path()),), {}))
    (docs / "loop-a").symlink_to(docs / "loop-b")
    (docs / "loop-b").symlink_to(docs / "loop-a")
    (docs / "self").symlink_to("self")
    assert pagecase.contain(docs, "loop-a") is None
    assert pagecase.contain(docs, "loop-a/x.png") is None
    assert pagecase.contain(docs, "self/x") is None


def test_a_loop_cannot_smuggle_a_link_out(docs, tmp_path):
    """A resolution that gives up at a loop must not return a path that is still a link."""
    (docs / "loop-a").symlink_to(docs / "loop-b")
    (docs / "loop-b").symlink_to(docs / "loop-a")
    (docs / "out.png").symlink_to(tmp_path / "secret")
    assert pagecase.contain(docs, "loop-a/../out.png") is None
    assert pagecase.resolve_asset(docs / "doc.md", "loop-a/../out.png") is None
    assert pagecase.contain(docs, "loop-a/../img/a.png") == docs / "img" / "a.png"


@pytest.mark.parametrize("rebound", [False, True])
def test_a_loop_cannot_smuggle_a_link_into_documents(docs, tmp_path, monkeypatch, rebound):
    """resolve_document answers only fully resolved paths: here the lexical `loop-a/..` would
    leave docs/notes.md, a link to a file that is not Markdown, outside the folder."""
    (docs / "loop-a").symlink_to(docs / "loop-b")
    (docs / "loop-b").symlink_to(docs / "loop-a")
    (tmp_path / "secret.txt").write_text("outside")
    (docs / "notes.md").symlink_to(tmp_path / "secret.txt")
    (docs / "real.md").write_text("# real")
    if rebound:  # the documented steps, through the module's current Path
        monkeypatch.setattr(pagecase, "Path", type("HostPath", (type(Path()),), {}))
    assert pagecase.resolve_document(str(docs / "loop-a" / ".." / "notes.md")) is None
    assert pagecase.resolve_document(str(docs / "notes.md")) is None
    assert pagecase.resolve_document(str(docs / "loop-a" / ".." / "real.md")) == docs / "real.md"


@pytest.mark.parametrize("raw", ["img/a\0.png", "\0", "img/\ud800.png", "\udfff"])
def test_unrepresentable_input_is_refused(docs, raw):
    (docs / "doc.md").write_text("# doc")
    assert pagecase.contain(docs, raw) is None
    assert pagecase.resolve_document(raw) is None
    assert pagecase.resolve_asset(docs / "doc.md", raw) is None


def test_undecodable_names_round_trip(docs):
    name = os.fsdecode(b"caf\xe9.png")
    (docs / name).write_bytes(b"png")
    assert pagecase.contain(docs, name) == docs / name
    assert pagecase.resolve_asset(docs / "doc.md", name) == docs / name


def test_argument_errors_are_pathlibs(docs):
    with pytest.raises(TypeError):
        pagecase.contain(docs, 5)
    with pytest.raises(TypeError):
        pagecase.contain(docs, b"img")
    with pytest.raises(AttributeError):
        pagecase.contain(str(docs), "img")
    assert pagecase.contain(root=docs, raw=Path("img")) == docs / "img"
    with pytest.raises(TypeError):
        pagecase.contain(docs)


def test_rebound_path_class_is_honoured(docs, monkeypatch):
    calls = []

    class TracingPath(type(Path())):
        def __new__(cls, *args):
            calls.append(args)
            return super().__new__(cls, *args)

    monkeypatch.setattr(pagecase, "Path", TracingPath)
    assert pagecase.contain(docs, "img/a.png") == docs / "img" / "a.png"
    assert pagecase.contain(docs, "../secret") is None
    assert calls


def test_traversal_payloads_never_escape(docs, tmp_path):
    folder = shared_path("traversal")
    files = sorted(folder.glob("*.txt")) or unavailable(f"no traversal payload lists (*.txt) in {folder}")
    payloads = []
    for list_file in files:
        for line in list_file.read_text(encoding="utf-8", errors="surrogateescape").splitlines():
            payloads.append(line.replace("{FILE}", "secret"))
    root = docs / "sub"
    for raw in payloads:
        result = pagecase.contain(root, raw)
        if result is not None:
            assert result == root.resolve() or root.resolve() in result.parents, raw
        if "\0" in raw:
            assert result is None
            continue
        try:
            os.fsencode(raw)
        except UnicodeEncodeError:
            assert result is None
            continue
        assert result == reference_contain(root, raw), raw


@pytest.mark.parametrize(
    "name, expected",
    [
        ("README.MD", True),
        ("a.Markdown", True),
        ("notes.text", True),
        ("x.mkd", True),
        ("dir/y.mdown", True),
        ("a.md.bak", False),
        ("a.txt", False),
        ("Makefile", False),
        (".md", False),
        ("a.", False),
        ("x.m\u212ad", True),  # the Kelvin sign lower-cases to an ASCII k
    ],
)
def test_is_markdown(name, expected):
    assert pagecase.is_markdown(Path(name)) is expected
    assert pagecase.is_markdown(pathlib.PurePosixPath(name)) is expected


def test_is_markdown_reads_the_suffix_set_at_call_time(monkeypatch):
    monkeypatch.setattr(pagecase, "MARKDOWN_SUFFIXES", frozenset({".txt"}))
    assert pagecase.is_markdown(Path("a.TXT"))
    assert not pagecase.is_markdown(Path("a.md"))
    with pytest.raises(AttributeError):
        pagecase.is_markdown("a.md")


@pytest.mark.skipif(releases.RELEASE != (3, 10), reason="compares with CPython 3.10's own pathlib (releases.py)")
def test_agrees_with_pathlib_on_random_link_forests(tmp_path):
    """Random trees of folders, files and relative/absolute links (loops included)."""
    rng = random.Random(2024)
    names = ["a", "b", "c", "..", ".", "x.png", "loop"]
    for forest in range(30):
        base = tmp_path / f"f{forest}"
        root = base / "root"
        root.mkdir(parents=True)
        folders = [root, base]
        for _ in range(8):
            parent = rng.choice(folders)
            child = parent / rng.choice(["a", "b", "c"])
            if not child.exists() and not child.is_symlink():
                child.mkdir()
                folders.append(child)
        for _ in range(8):
            where = rng.choice(folders) / rng.choice(["l1", "l2", "x.png", "loop"])
            if where.exists() or where.is_symlink():
                continue
            target = "/".join(rng.choice(names) for _ in range(rng.randrange(1, 4)))
            if rng.random() < 0.3:
                target = str(rng.choice(folders) / target)
            where.symlink_to(target)
        for _ in range(60):
            raw = "/".join(rng.choice(names + ["l1", "l2"]) for _ in range(rng.randrange(1, 6)))
            if rng.random() < 0.2:
                raw = str(base) + "/" + raw
            ours, theirs = pagecase.contain(root, raw), reference_contain(root, raw)
            if ours != theirs:
                # Only where pathlib gave up at a loop and answered a path that is
                # not a real location (resolving it again moves it).
                assert ours is None and theirs.resolve() != theirs, (raw, ours, theirs)
