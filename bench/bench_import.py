"""Import time: the document store and the encryption module against the
standard modules a host of theirs imports anyway.

    python bench/bench_import.py [--runs N] [--pieces]

Fresh processes, alternating, N of each (20 by default): each times its own
import statement, so the interpreter's start-up is left out of both. The
figure is the median of `from tidewing_quillery import pagecase; from
tidewing_lattice import tw_lattice` over the median of `import json,
hashlib, pathlib` (goal: at most 1.5 times). With --pieces, what the import
is made of, each piece timed after the ones above it: the standard modules
the two modules bind beyond that baseline, and each module itself.
"""

import argparse
import statistics
import subprocess
import sys

from goals import Goal, Scorecard

GOALS = {
    "import": Goal("pagecase and tw_lattice against json, hashlib, pathlib, median", "<=", 1.5),
}
CARD = Scorecard(GOALS)

TIMED = "import time\nstart = time.perf_counter()\n{}\nprint(time.perf_counter() - start)"
BASELINE = "import json, hashlib, pathlib"
OURS = "from tidewing_quillery import pagecase; from tidewing_lattice import tw_lattice"

# Each piece timed after those above it, in one process.
PIECES = [
    ("json, hashlib, pathlib", BASELINE),
    ("os, time, base64, hmac, struct", "import os, time, base64, hmac, struct"),
    ("tidewing_quillery.pagecase", "from tidewing_quillery import pagecase"),
    ("tidewing_lattice.tw_lattice", "from tidewing_lattice import tw_lattice"),
    ("dataclasses (on a host's first look at a record)", "import dataclasses"),
]


def seconds(statement):
    out = subprocess.run([sys.executable, "-c", TIMED.format(statement)], check=True, capture_output=True, text=True)
    return float(out.stdout)


def import_ratio(runs):
    times = {"baseline": [], "ours": []}
    for _ in range(runs):
        times["baseline"].append(seconds(BASELINE))
        times["ours"].append(seconds(OURS))
    baseline, ours = (statistics.median(times[key]) * 1000 for key in ("baseline", "ours"))
    print(f"import json, hashlib, pathlib: {baseline:.2f} ms median of {runs} processes")
    print(f"import pagecase, tw_lattice:   {ours:.2f} ms")
    print(f"  ratio: {ours / baseline:.2f}x   {CARD.check('import', ours / baseline)}")


def pieces(runs):
    lines = [f"t.append(time.perf_counter())\n{statement}" for _, statement in PIECES]
    script = "import time\nt = []\n" + "\n".join(lines) + "\nt.append(time.perf_counter())\n"
    script += "print(*(b - a for a, b in zip(t, t[1:])))"
    columns = [[] for _ in PIECES]
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
        for column, value in zip(columns, out.stdout.split()):
            column.append(float(value) * 1000)
    print("\nwhat the import is made of (each after those above it; median ms):")
    for (name, _), column in zip(PIECES, columns):
        print(f"  {name:50} {statistics.median(column):6.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="processes of each kind")
    parser.add_argument("--pieces", action="store_true", help="also time the pieces of the import")
    args = parser.parse_args()
    import_ratio(args.runs)
    if args.pieces:
        pieces(args.runs)
    return CARD.report()


if __name__ == "__main__":
    sys.exit(main())
