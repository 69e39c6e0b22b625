"""The recent list against pure-Python versions of the same steps.

    python bench/bench_lists.py [--dir FOLDER] [--rounds N]

One round is what the viewer does when it opens a document: `RecentFiles.load()`
of a 20-entry "recent.json", `add` of a document (which saves). Two baselines
run the same steps in pure Python (reference/lists.py): one saving in place
with `Path.write_text`, one with the same crash-safe replacement the module
does (temporary file, fsync, rename). The state directory is a fresh folder
under --dir (default: the system's temporary folder), removed at the end.
When strace is installed, the system calls of one save are listed as well.
The goal missed, if any, is listed last, and the exit status is then 1.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the reference versions

from goals import Goal, Scorecard
from scratch import scratch_folder

from reference import documents
from reference.lists import RecentFiles as PyRecentFiles
from reference.lists import replace_atomically
from tidewing_quillery import pagecase

RECENT_LIMIT = documents._RECENT_LIMIT

# The fsync dominates a save, so the native list has no speed to show here:
# its goal is to cost no more than the same crash-safe steps in Python (within
# the noise of a shared disk).
GOALS = {
    "atomic": Goal("load + add + save, speed-up over the same crash-safe steps in pure Python", ">=", 0.9),
}


class PyRecentFilesAtomic(PyRecentFiles):
    write = staticmethod(replace_atomically)


# ----------------------------------------------------------------- measuring


def fill(state):
    entries = [
        {
            "path": f"/home/user/notes/topic {n:02d}/chapter {n:02d}.md",
            "name": f"chapter {n:02d}.md",
            "opened_at": 1733650912.4187 + n,
        }
        for n in range(RECENT_LIMIT)
    ]
    (state / "recent.json").write_text(json.dumps(entries, ensure_ascii=False, indent=2), encoding="utf-8")


def per_round(classes, state, rounds, repeats=7):
    """The best time per round of each class; the classes take turns, so a busy disk weighs on all alike."""
    documents = [Path(f"/home/user/notes/topic {n:02d}/chapter {n:02d}.md") for n in range(30)]
    best = {cls: float("inf") for cls in classes}
    for _ in range(repeats):
        for cls in classes:
            fill(state)
            start = time.perf_counter()
            for k in range(rounds):
                cls.load().add(documents[k % 30])
            best[cls] = min(best[cls], (time.perf_counter() - start) / rounds)
    return [best[cls] for cls in classes]


def same_file(state):
    """Both implementations leave the same list (apart from the timestamps) and the same text shape."""
    fill(state)
    pagecase.RecentFiles.load().add(Path("/x/y.md"))
    native = (state / "recent.json").read_text(encoding="utf-8")
    fill(state)
    PyRecentFiles.load().add(Path("/x/y.md"))
    python = (state / "recent.json").read_text(encoding="utf-8")
    strip = lambda text: [{k: v for k, v in e.items() if k != "opened_at"} for e in json.loads(text)]
    assert strip(native) == strip(python) and native.count("\n") == python.count("\n")


def trace_one_save(state):
    """The file system calls of one save, between two markers written to stderr."""
    script = (
        "import os, sys\nfrom tidewing_quillery import pagecase\n"
        "recent = pagecase.RecentFiles.load()\nrecent.entries.insert(0, {'path': '/traced.md'})\n"
        "os.write(2, b'<<save>>')\nrecent.save()\nos.write(2, b'<<done>>')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    trace = subprocess.run(
        ["strace", "-f", "-e", "trace=%file,write,fsync,rename", sys.executable, "-c", script],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stderr
    inside = trace.split("<<save>>", 1)[1].split("<<done>>", 1)[0]
    return [line for line in inside.splitlines()[1:] if line.strip()][:-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=None, help="where the state directory is made")
    parser.add_argument("--rounds", type=int, default=100)
    options = parser.parse_args()
    card = Scorecard(GOALS)
    with scratch_folder("tidewing-bench-lists-", options.dir) as state:
        os.environ["TIDEWING_MD_STATE_DIR"] = str(state)
        same_file(state)
        native, in_place, atomic = per_round(
            [pagecase.RecentFiles, PyRecentFiles, PyRecentFilesAtomic], state, options.rounds
        )
        print(f"load + add + save of a {RECENT_LIMIT}-entry recent list, state directory in {state.parent}")
        print(f"  native (atomic, fsync)            {native * 1e6:9.1f} us")
        print(f"  pure Python, write_text in place  {in_place * 1e6:9.1f} us   ratio {in_place / native:5.2f}")
        print(
            f"  pure Python, atomic with fsync    {atomic * 1e6:9.1f} us   ratio {atomic / native:5.2f} "
            + card.check("atomic", atomic / native)
        )
        if shutil.which("strace"):
            print("system calls of one save:")
            for line in trace_one_save(state):
                print("  " + line)
    return card.report()


if __name__ == "__main__":
    sys.exit(main())
