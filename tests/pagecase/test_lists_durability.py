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
import threading
import time

import forked
import pytest

from tidewing_quillery import pagecase

ENTRIES = [{"path": "/docs/new.md", "name": "new.md", "opened_at": 1.5}]


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.native_fs
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


@pytest.mark.parametrize(
    "failure",
    [pytest.param("disk full", marks=pytest.mark.native_fs), "no permission", "folder removed", "folder in the way"],
)
def test_a_failed_save_is_silent_and_keeps_the_old_file(open_folder, nobody, failure):
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
    prepare = fill_the_disk if failure == "disk full" else lambda: (target.chmod(0o444), nobody.become())
    assert forked.run_one(recent.save, before=prepare).kind == "returned"
    assert target.read_text() == "old" and sorted(os.listdir(open_folder)) == ["recent.json"]
    assert recent.entries == ENTRIES * 10  # the list in memory keeps its change


# The saver forks a copy of itself for each round; the copy saves three lists
# in turn until the test kills it. A round starts once the copy has finished
# its first save, so that it makes progress however busy the machine is, and
# the copy says how long that save took, so that the test kills it within a
# few saves' time however slow saves are here.
SAVER = r"""
import itertools, json, os, sys, time
from tidewing_quillery import pagecase
target = pagecase.Path(sys.argv[1])
lists = json.loads(open(sys.argv[2], encoding='utf-8').read())
while sys.stdin.readline():
    first_saved, tell_first_saved = os.pipe()
    pid = os.fork()
    if pid == 0:
        for turn in itertools.count():
            started = time.monotonic()
            pagecase.RecentFiles(target, lists[turn % len(lists)]).save()
            if turn == 0:
                os.write(tell_first_saved, b"%.6f\n" % (time.monotonic() - started))
    took = os.read(first_saved, 64).decode().strip()
    os.close(first_saved)
    os.close(tell_first_saved)
    print(pid, took, flush=True)
    os.waitpid(pid, 0)
    print(flush=True)
"""


@pytest.mark.native_fs
def test_a_save_killed_at_any_moment_leaves_one_whole_list(tmp_path):
    lists = [[{"path": f"/docs/{size}/{n}.md", "name": "é" * n} for n in range(size)] for size in (1, 40, 400)]
    texts = [json.dumps(entries, ensure_ascii=False, indent=2) for entries in lists]
    target = tmp_path / "recent.json"
    target.write_text(texts[0])
    (tmp_path / "lists").write_text(json.dumps(lists), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    seen, rounds_leaving_one = set(), 0
    rounds = random.Random(20260101)
    with subprocess.Popen(
        [sys.executable, "-c", SAVER, str(target), str(tmp_path / "lists")],
        env=env,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    ) as saver:
        for _ in range(300):
            saver.stdin.write("\n")
            saver.stdin.flush()
            pid, took = saver.stdout.readline().split()
            pid, save_seconds = int(pid), float(took)
            time.sleep(rounds.uniform(0, 3 * save_seconds))
            os.kill(pid, signal.SIGKILL)
            saver.stdout.readline()
            text = target.read_text()
            assert text in texts
            seen.add(texts.index(text))
            # Each save removes what earlier, killed savers left: at most the last one's remains.
            leftovers = temporaries(tmp_path)
            assert len(leftovers) <= 1, leftovers
            rounds_leaving_one += len(leftovers)
        saver.stdin.close()
    assert len(seen) > 1, seen  # the saves got past the first list
    assert rounds_leaving_one > 0  # and were killed while writing
    pagecase.RecentFiles(target, lists[1]).save()
    assert sorted(os.listdir(tmp_path)) == ["lists", "recent.json"]


def temporaries(folder):
    return [name for name in os.listdir(folder) if name.endswith(".tmp")]


@pytest.mark.native_fs
def test_a_save_removes_the_temporaries_of_dead_writers_only(tmp_path):
    finished = subprocess.Popen(["true"])
    finished.wait()
    running = subprocess.Popen(["sleep", "60"])
    ended_thread = threading.Thread(target=lambda: None)
    ended_thread.start()
    ended_thread.join()
    # join() returns once the thread's Python work is done; the system thread
    # may take a moment longer to exit.
    deadline = time.monotonic() + 10
    while os.path.exists(f"/proc/self/task/{ended_thread.native_id}") and time.monotonic() < deadline:
        time.sleep(0.01)
    release, ready = threading.Event(), threading.Event()
    waiting_thread = threading.Thread(target=lambda: (ready.set(), release.wait()))
    waiting_thread.start()
    ready.wait()
    me, dead = os.getpid(), finished.pid
    # Nobody writes these, whether or not a process or thread of the ids in
    # their names lives (a reused id): they go.
    removed = [
        f".recent.json.{dead}.{dead}.tmp",
        f".recent.json.{me}.{ended_thread.native_id}.tmp",
        f".recent.json.{running.pid}.{running.pid}.tmp",
        f".recent.json.{me}.{waiting_thread.native_id}.tmp",
    ]
    kept = [
        f".favorites.json.{dead}.{dead}.tmp",
        f".recent.json.{dead}.tmp",
        f".recent.json.{dead}.x.tmp",
        f".recent.json.{dead}.{dead}.tmp.bak",
        f".recent.json.5.{dead}.{dead}.tmp",
    ]
    try:
        for name in removed + kept:
            (tmp_path / name).write_text("left over")
        pagecase.RecentFiles(tmp_path / "recent.json", ENTRIES).save()
        assert sorted(os.listdir(tmp_path)) == sorted(kept + ["recent.json"])
    finally:
        release.set()
        waiting_thread.join()
        running.kill()
        running.wait()


# Saves a long list over and over, so that a stop often finds it writing.
LONG_SAVER = r"""
import sys
from tidewing_quillery import pagecase
entries = [{"path": f"/docs/{n}.md", "name": "x" * 200} for n in range(10000)]
print(flush=True)
while True:
    pagecase.RecentFiles(pagecase.Path(sys.argv[1]), entries).save()
"""


@pytest.mark.native_fs
def test_a_writer_stopped_midway_keeps_its_temporary_and_then_saves(tmp_path):
    target = tmp_path / "recent.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-c", LONG_SAVER, str(target)], env=env, stdout=subprocess.PIPE) as saver:
        try:
            saver.stdout.readline()
            moments = random.Random(20260102)
            for _ in range(500):
                time.sleep(moments.uniform(0, 0.02))
                os.kill(saver.pid, signal.SIGSTOP)
                os.waitpid(saver.pid, os.WUNTRACED)
                # Content means the writer got past its lock: it writes only after taking it.
                writing = [
                    path
                    for path in tmp_path.iterdir()
                    if path.name.startswith(f".recent.json.{saver.pid}.") and path.stat().st_size > 0
                ]
                if writing:
                    break
                os.kill(saver.pid, signal.SIGCONT)
            else:
                pytest.fail("the saver was never stopped while writing")
            (temporary,) = writing
            inode = temporary.stat().st_ino
            pagecase.RecentFiles(target, ENTRIES).save()
            assert temporary.stat().st_ino == inode  # the live writer's temporary stays
            assert json.loads(target.read_text()) == ENTRIES
            os.kill(saver.pid, signal.SIGCONT)
            deadline = time.monotonic() + 30
            while len(json.loads(target.read_text())) != 10000:  # the stopped save goes on and lands
                assert time.monotonic() < deadline, "the stopped save never completed"
                time.sleep(0.01)
        finally:
            saver.kill()
    pagecase.RecentFiles(target, ENTRIES).save()
    assert os.listdir(tmp_path) == ["recent.json"]


def test_a_fifo_named_like_a_temporary_is_left_unopened(tmp_path):
    finished = subprocess.Popen(["true"])
    finished.wait()
    fifo = tmp_path / f".recent.json.{finished.pid}.{finished.pid}.tmp"
    os.mkfifo(fifo)
    opened = threading.Event()
    # Opening a FIFO for writing waits for a reader: the save must never be one.
    writer = threading.Thread(target=lambda: (os.close(os.open(fifo, os.O_WRONLY)), opened.set()), daemon=True)
    writer.start()
    try:
        time.sleep(0.05)
        pagecase.RecentFiles(tmp_path / "recent.json", ENTRIES).save()
        assert not opened.wait(0.2)
        assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    finally:
        while fifo.exists() and not opened.is_set():  # a reader at last lets the writer's open return
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
            opened.wait(0.05)
            os.close(reader)
