"""The Markdown scan and the quick-open search."""

import json
import os
from pathlib import Path

import pytest

from tidewing_quillery import pagecase
from tidewing_quillery.__main__ import main

LAYOUT = [
    "README.MD",
    ".notes.md",
    "notes.txt",
    "Makefile",
    "guides/setup.md",
    "guides/b/deep.markdown",
    ".git/config.md",
    "node_modules/pkg/readme.md",
    ".hidden/secret.md",
    "src/build/out.md",
    "real/inside.md",
    "link-to-folder.md -> real",
    "link-to-file.md -> guides/setup.md",
    "dangling.md -> missing",
    "plain-link -> real",
]


def names(results):
    return sorted(item["relative"] for item in results)


def test_scan_prunes_hidden_and_skipped_folders_and_lists_links_as_the_walk_does(tree, documented):
    root = tree(*LAYOUT)
    results = pagecase.scan_markdown([root])
    assert results == documented.scan_markdown([root])
    assert names(results) == [
        ".notes.md",
        "README.MD",
        "dangling.md",
        "guides/b/deep.markdown",
        "guides/setup.md",
        "link-to-file.md",
        "real/inside.md",
    ]
    first = next(item for item in results if item["name"] == "link-to-file.md")
    assert list(first) == ["path", "name", "relative", "root"]
    assert first == {
        "path": str(root / "link-to-file.md"),
        "name": "link-to-file.md",
        "relative": "link-to-file.md",
        "root": str(root),
    }


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("max_files, max_depth", [(20000, 12), (7, 12), (20000, 1), (0, 12)])
def test_scan_and_search_equal_the_documented_steps(
    random_tree, documented, rebind_both, both_paths, seed, max_files, max_depth
):
    root = random_tree(seed)
    rebind_both("MAX_SCAN_FILES", max_files)
    rebind_both("MAX_SCAN_DEPTH", max_depth)
    roots = [root / "docs", root, root / "missing", root]
    assert pagecase.scan_markdown(roots) == documented.scan_markdown(roots)
    for query, limit in [("", 40), ("md", 40), ("DOC", 5), ("\u212a", None), ("σ", 3), ("é", -2), ("zzzq", 40)]:
        assert pagecase.search_markdown(roots, query, limit) == documented.search_markdown(roots, query, limit)


def test_depth_twelve_is_scanned_and_thirteen_is_not(tmp_path):
    deep = tmp_path.joinpath(*[str(k) for k in range(1, 14)])
    deep.mkdir(parents=True)
    (deep.parent / "twelve.md").write_text("x")
    (deep / "thirteen.md").write_text("x")
    assert [item["name"] for item in pagecase.scan_markdown([tmp_path])] == ["twelve.md"]


def test_file_cap_stops_the_whole_scan_across_roots(tree, monkeypatch):
    root = tree(*[f"a/{k}.md" for k in range(4)], *[f"b/{k}.md" for k in range(4)])
    monkeypatch.setattr(pagecase, "MAX_SCAN_FILES", 6)
    results = pagecase.scan_markdown([root / "a", root / "b", root / "a"])
    assert len(results) == 6
    assert [item["root"] for item in results] == [str(root / "a")] * 4 + [str(root / "b")] * 2


def test_repeated_and_nested_roots_report_each_file_once(tree):
    root = tree("top.md", "sub/inner.md", "sub/deeper/leaf.md")
    results = pagecase.scan_markdown([root / "sub", root, root / "sub" / "deeper", root / "sub"])
    credited = {item["name"]: (item["root"], item["relative"]) for item in results}
    assert len(results) == 3
    assert credited == {
        "inner.md": (str(root / "sub"), "inner.md"),
        "leaf.md": (str(root / "sub"), "deeper/leaf.md"),
        "top.md": (str(root), "top.md"),
    }


def test_roots_are_resolved_and_bad_roots_skipped(tree, monkeypatch):
    root = tree("docs/a.md", "file.md", "alias -> docs", "loop-a -> loop-b", "loop-b -> loop-a")
    monkeypatch.chdir(root)
    roots = [root / "alias", root / "loop-a", root / "file.md", root / "nowhere", Path("docs")]
    results = pagecase.scan_markdown(roots)
    assert [(item["root"], item["path"]) for item in results] == [(str(root / "docs"), str(root / "docs" / "a.md"))]
    assert pagecase.scan_markdown(iter([root / "docs"])) == results
    with pytest.raises(AttributeError):
        pagecase.scan_markdown([str(root)])


def test_folders_that_fail_to_read_contribute_nothing(tree, monkeypatch, scandir_stand_ins):
    root = tree("ok.md", "locked/a.md", "locked/under/b.md", "flaky/c.md", "flaky/d.md", "flaky/e/f.md")
    monkeypatch.setattr(
        os,
        "scandir",
        scandir_stand_ins.failing(
            {
                str(root / "locked"): (PermissionError(13, "Permission denied"), None),
                str(root / "flaky"): (OSError(5, "Input/output error"), 1),
            }
        ),
    )
    assert names(pagecase.scan_markdown([root])) == ["ok.md"]


def test_unreadable_folders_contribute_nothing_to_the_native_walk(tree, as_unprivileged):
    root = tree("ok.md", "locked/a.md", "open/b.md")
    out = as_unprivileged(root / "locked", f"print(json.dumps(pagecase.scan_markdown([Path({str(root)!r})])))")
    assert names(json.loads(out)) == ["ok.md", "open/b.md"]


def test_rebound_names_are_honoured(tree, monkeypatch):
    root = tree("a.md", "b.txt", "hidden/c.txt", "keep/d.txt")
    monkeypatch.setattr(pagecase, "is_markdown", lambda path: path.suffix == ".txt")
    monkeypatch.setattr(pagecase, "SKIP_DIRS", frozenset({"hidden"}))
    assert names(pagecase.scan_markdown([root])) == ["b.txt", "keep/d.txt"]
    calls = []
    monkeypatch.setattr(pagecase, "fuzzy_score", lambda query, text: calls.append(text) or 1)
    assert len(pagecase.search_markdown([root], "q")) == 2
    assert sorted(calls) == ["b.txt", "b.txt", "d.txt", "keep/d.txt"]


def test_query_ranks_name_matches_first(tree):
    root = tree("DATA_INTEGRITY_AUDIT.md", "media/archive/index.md", "other.md")
    results = pagecase.search_markdown([root], "dia")
    assert [item["relative"] for item in results] == ["DATA_INTEGRITY_AUDIT.md", "media/archive/index.md"]
    assert pagecase.search_markdown([root], "qqq") == []


def test_ties_sort_by_relative_path_then_root_order(tree):
    root = tree("one/b/x.md", "one/A/x.md", "two/b/x.md", "two/a/X.md")
    results = pagecase.search_markdown([root / "two", root / "one"], "x")
    assert [(Path(item["root"]).name, item["relative"]) for item in results] == [
        ("two", "a/X.md"),
        ("one", "A/x.md"),
        ("two", "b/x.md"),
        ("one", "b/x.md"),
    ]


def test_empty_query_orders_by_name_and_keeps_the_first_forty(tree, documented):
    root = tree(*[f"d{k % 3}/N{k:02}.md" for k in range(45)], "z/n00.md", "d1/n01.md")
    results = pagecase.search_markdown([root], "")
    assert results == documented.search_markdown([root], "")
    assert [item["name"].lower() for item in results] == sorted(f"n{k:02}.md" for k in [0, 0, 1, 1, *range(2, 38)])


@pytest.mark.parametrize("limit, count", [(0, 0), (None, 5), (-2, 3), (2, 2), (True, 1)])
def test_limit_follows_slice_semantics(tree, limit, count):
    root = tree(*[f"{k}.md" for k in range(5)])
    assert len(pagecase.search_markdown([root], "md", limit)) == count
    assert len(pagecase.search_markdown([root], "", limit=limit)) == count


def test_limit_of_the_wrong_type_raises_as_slicing_does(tree):
    root = tree("a.md")
    with pytest.raises(TypeError, match="slice indices must be integers"):
        pagecase.search_markdown([root], "a", 1.5)


def test_command_line_search(tree, capsys):
    root = tree("DATA_INTEGRITY_AUDIT.md", "media/archive/index.md", "other.md")
    assert main(["search", str(root), str(root / "media"), "-q", "dia", "-n", "1"]) == 0
    out, err = capsys.readouterr()
    assert out == str(root / "DATA_INTEGRITY_AUDIT.md") + "\n"
    assert err.startswith("1 result(s) in ") and err.endswith(" ms\n")
