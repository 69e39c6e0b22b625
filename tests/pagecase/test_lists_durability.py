"""Saving list files: whole-file replacement, failed saves, and saves killed midway."""

import json
import os
import random
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time

import pytest

from tidewing_quillery import pagecase

ENTRIES = [{"path": "/docs/new.md", "name": "new.md", "opened_at": 1.5}]


@pytest.fixture
def open_folder():
    """A folder anybody may write in, so that a less privileged child can try to replace files there."""
    folder = tempfile.mkdtemp()
    os.chmod(folder, 0o777)
    yield pagecase.Path(folder)
    shutil.rmtree(folder)


def in_child(action):
    """Run `action` in a forked copy of this process, so limits and identities it takes stay there."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        finally:
            os._exit(code)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("link", [None, "absolute", "relative chain"])
def test_save_replaces_the_file_a_link_names_and_keeps_its_mode(tmp_path, link):
    real = tmp_path / "real" / "recent.json"
    real.parent.mkdir()
    real.write_text("[]")
    real.chmod(0o640)
    listed = tmp_path / "state" / "recent.json"
    listed.parent.mkdir()
    if link == "absolute":
        listed.symlink_to(real)
    elif link == "relative chain":
        (tmp_path / "state" / "hop").symlink_to("../real/recent.json")
        listed.symlink_to("hop")
    else:
        listed = real
    inode = os.stat(real).st_ino
    pagecase.RecentFiles(listed, ENTRIES).save()
    assert json.loads(real.read_text()) == ENTRIES and os.stat(real).st_ino != inode
    assert mode_of(real) == 0o640 and listed.is_symlink() == (link is not None)
    assert sorted(os.listdir(real.parent)) == ["recent.json"]


def test_a_new_file_gets_the_default_mode(tmp_path):
    old_umask = os.umask(0o027)
    try:
        pagecase.PathList(tmp_path / "new.json").save()
    finally:
        os.umask(old_umask)
    assert mode_of(tmp_path / "new.json") == 0o640 and (tmp_path / "new.json").read_text() == "[]"


def fill_the_disk():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))


def lose_write_permission(target):
    target.chmod(0o444)
    if os.geteuid() == 0:  # root may write anything; a plain user may not write this file
        os.setgid(65534)
        os.setuid(65534)


@pytest.mark.parametrize("failure", ["disk full", "no permission", "folder removed", "folder in the way"])
def test_a_failed_save_is_silent_and_keeps_the_old_file(open_folder, failure):
    target = open_folder / "recent.json"
    target.write_text("old")
    recent = pagecase.RecentFiles(target, ENTRIES * 10)
    if failure == "folder removed":
        shutil.rmtree(open_folder)
        recent.save()
        open_folder.mkdir()
        return
    if failure == "folder in the way":
        target.unlink()
        (target / "inside").mkdir(parents=True)
        recent.save()
        assert sorted(os.listdir(open_folder)) == ["recent.json"] and os.listdir(target) == ["inside"]
        return
    prepare = fill_the_disk if failure == "disk full" else lambda: lose_write_permission(target)
    in_child(lambda: (prepare(), recent.save()))
    assert target.read_text() == "old" and sorted(os.listdir(open_folder)) == ["recent.json"]
    assert recent.entries == ENTRIES * 10  # the list in memory keeps its change


# The saver forks a copy of itself for each round; the copy saves three lists
# in turn until the test kills it.
SAVER = r"""
import itertools, json, os, sys
from tidewing_quillery import pagecase
target = pagecase.Path(sys.argv[1])
lists = json.loads(open(sys.argv[2], encoding='utf-8').read())
while sys.stdin.readline():
    pid = os.fork()
    if pid == 0:
        for turn in itertools.count():
            pagecase.RecentFiles(target, lists[turn % len(lists)]).save()
    print(pid, flush=True)
    os.waitpid(pid, 0)
    print(flush=True)
"""


def test_a_save_killed_at_any_moment_leaves_one_whole_list(tmp_path):
    lists = [[{"path": f"/docs/{size}/{n}.md", "name": "é" * n} for n in range(size)] for size in (1, 40, 400)]
    texts = [json.dumps(entries, ensure_ascii=False, indent=2) for entries in lists]
    target = tmp_path / "recent.json"
    target.write_text(texts[0])
    (tmp_path / "lists").write_text(json.dumps(lists), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    seen = set()
    rounds = random.Random(20260101)
    with subprocess.Popen([sys.executable, "-c", SAVER, str(target), str(tmp_path / "lists")], env=env,
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as saver:
        for _ in range(300):
            saver.stdin.write("\n")
            saver.stdin.flush()
            pid = int(saver.stdout.readline())
            time.sleep(rounds.uniform(0, 0.006))
            os.kill(pid, signal.SIGKILL)
            saver.stdout.readline()
            text = target.read_text()
            assert text in texts
            seen.add(texts.index(text))
        saver.stdin.close()
    assert len(seen) > 1, seen  # the saves got past the first list
    leftovers = [name for name in os.listdir(tmp_path) if name not in ("recent.json", "lists")]
    assert all(name.startswith(".recent.json.") and name.endswith(".tmp") for name in leftovers)
