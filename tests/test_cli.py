"""The command line, python -m tidewing_quillery: what each command prints,
where, and with which exit status; and help a reader can read."""

import json
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

from tidewing_quillery import pagecase
from tidewing_quillery.__main__ import main


@pytest.fixture
def tree(tmp_path):
    """notes/ with a titled document, a subfolder, a text file and a link to a folder."""
    notes = tmp_path / "notes"
    (notes / "Drafts").mkdir(parents=True)
    (notes / "plan.md").write_text("intro\n# The Plan\n\nbody\n", encoding="utf-8")
    (notes / "b-side.md").write_text("no heading", encoding="utf-8")
    (notes / "todo.txt").write_text("not Markdown", encoding="utf-8")
    (tmp_path / "linked").symlink_to(notes)
    return notes


def run(capsys, *argv):
    """(exit status, stdout, stderr) of main(argv)."""
    status = main(list(argv))
    out = capsys.readouterr()
    return status, out.out, out.err


def test_open_prints_the_payload_fields_without_text(tree, capsys, monkeypatch):
    monkeypatch.chdir(tree)
    status, out, err = run(capsys, "open", "plan.md")
    payload = json.loads(out)
    stat = (tree / "plan.md").stat()
    assert (status, err) == (0, "")
    assert list(payload) == ["path", "name", "dir", "title", "mtime", "size"]
    assert payload == {
        "path": str(tree / "plan.md"),
        "name": "plan.md",
        "dir": str(tree),
        "title": "The Plan",
        "mtime": stat.st_mtime,
        "size": stat.st_size,
    }
    # Without a heading the title is the file name; links are resolved.
    status, out, _ = run(capsys, "open", str(tree.parent / "linked" / "b-side.md"))
    assert json.loads(out)["title"] == "b-side.md" and json.loads(out)["path"] == str(tree / "b-side.md")


@pytest.mark.parametrize("name", ["missing.md", "todo.txt", "Drafts", ""])
def test_open_refuses_what_is_no_readable_document(tree, capsys, name):
    raw = str(tree / name) if name else ""
    assert run(capsys, "open", raw) == (1, "", f"not a readable Markdown document: {raw}\n")


def test_search_prints_paths_and_a_summary(tree, capsys):
    status, out, err = run(capsys, "search", str(tree), "-q", "plan")
    assert (status, out) == (0, f"{tree / 'plan.md'}\n")
    assert err.startswith("1 result(s) in ") and err.endswith(" ms\n")
    # Finding nothing is no failure.
    status, out, err = run(capsys, "search", str(tree), str(tree.parent / "linked"), "-q", "zzqx")
    assert (status, out) == (0, "") and err.startswith("0 result(s)")


def test_search_names_every_root_it_cannot_search(tree, capsys):
    missing, file = tree / "gone", tree / "todo.txt"
    status, out, err = run(capsys, "search", str(missing), str(tree), str(file), "-q", "plan")
    assert (status, out) == (1, "")  # nothing searched, not even the good root
    assert err == f"no such folder: {missing}\nnot a folder: {file}\n"
    # A dangling link is no folder either, and says it exists.
    (tree / "dangling").symlink_to(tree / "nowhere")
    assert run(capsys, "search", str(tree / "dangling"), "-q", "x") == (1, "", f"not a folder: {tree / 'dangling'}\n")


def test_ls_lists_one_level(tree, capsys):
    (tree / "Drafts" / "a.md").write_text("x", encoding="utf-8")
    (tree / "archive").mkdir()
    assert run(capsys, "ls", str(tree)) == (0, "archive/\nDrafts/\nb-side.md\nplan.md\n", "")
    assert run(capsys, "ls", str(tree.parent / "linked"), "Drafts") == (0, "a.md\n", "")


def test_ls_says_what_cannot_be_listed(tree, capsys):
    missing = tree / "gone"
    assert run(capsys, "ls", str(missing)) == (1, "", f"no such folder: {missing}\n")
    assert run(capsys, "ls", str(tree / "plan.md")) == (1, "", f"not a folder: {tree / 'plan.md'}\n")
    for subpath in ("gone", "plan.md", "..", "/etc"):
        assert run(capsys, "ls", str(tree), subpath) == (
            1,
            "",
            f"not a folder that can be listed inside {tree}: {subpath}\n",
        )


def test_ls_of_an_unreadable_root(tree, capsys, monkeypatch):
    def refused(path):
        raise PermissionError(13, "Permission denied", path)

    monkeypatch.setattr(pagecase, "os", SimpleNamespace(**{**vars(os), "scandir": refused}))
    assert run(capsys, "ls", str(tree)) == (1, "", f"not a folder that can be listed: {tree}\n")


@pytest.mark.parametrize(
    "argv", [[], ["frob"], ["search", "."], ["search", "-q", "x"], ["open"], ["search", ".", "-q", "x", "-n", "many"]]
)
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as raised:
        main(argv)
    assert raised.value.code == 2
    assert "usage: python -m tidewing_quillery" in capsys.readouterr().err


def cli(*argv, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-m", "tidewing_quillery", *argv], cwd=cwd, env=env, capture_output=True, text=True
    )


@pytest.mark.parametrize("argv", [[], ["open"], ["search"], ["ls"]])
def test_help_is_plain_text_with_the_exit_codes(argv):
    out = cli(*argv, "--help")
    assert out.returncode == 0 and out.stderr == ""
    assert "``" not in out.stdout and ":func:" not in out.stdout
    assert "exit status:\n  0  done" in out.stdout and "\n  1  a document or folder" in out.stdout
    if argv == ["open"]:
        for field in ("path", "name", "dir", "title", "mtime", "size"):
            assert f"\n  {field} " in out.stdout


def test_open_help_states_the_limits_the_module_holds(capsys, monkeypatch):
    monkeypatch.setattr(pagecase, "MAX_DOCUMENT_BYTES", 3 * 2**20)
    with pytest.raises(SystemExit):
        main(["open", "--help"])
    out = capsys.readouterr().out
    assert "larger than 3 MiB" in out and "among the first 40 lines" in out


def test_the_entry_point_passes_the_exit_status_on(tree):
    assert cli("ls", str(tree / "gone")).returncode == 1
    found = cli("search", ".", "-q", "plan", cwd=tree)
    assert (found.returncode, found.stdout) == (0, f"{tree / 'plan.md'}\n")
