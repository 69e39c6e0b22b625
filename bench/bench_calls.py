"""The call path: what a call of an exported function costs beyond its work.

    python bench/bench_calls.py [--rounds N]

Each function is called with arguments that leave it almost nothing to do,
in the same loop as a reference: a C call of the interpreter's that does the
same work. For fuzzy_score (a query of one letter), contain (an empty path,
refused at once) and is_markdown (a short name) that work is a few
nanoseconds, and the reference is an empty two-argument C call
(operator.is_). stat_signature's work is one stat(2) that fails; its
reference is os.access of the same path's bytes, a two-argument C call whose
access(2) makes the same failing lookup. A round times each function and
then its reference, alternately; the figure is the median over the rounds of
the difference per call (goal: at most 60 ns).

Printed beside them, without a goal: fuzzy_score of a query of 3 over 256
characters, and stat_signature less the system call alone, timed in a C loop
(the loop keeps the kernel's caches warm as a Python loop does not).
"""

import argparse
import operator
import os
import statistics
import subprocess
import sys
import timeit
from pathlib import Path

from goals import Goal, Scorecard
from scratch import scratch_folder

from tidewing_quillery import pagecase

GOALS = {
    "call": Goal("a call beyond a C call doing the same work", "<=", 60, unit=" ns"),
}
CARD = Scorecard(GOALS)

NUMBER = 20_000

# A stat(2) of a missing path, timed in a loop of its own.
STAT_LOOP = r"""
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
int main(int argc, char** argv) {
    struct stat st;
    double best = 1e9;
    for (int round = 0; round < 20; ++round) {
        struct timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (int i = 0; i < 20000; ++i) stat(argv[1], &st);
        clock_gettime(CLOCK_MONOTONIC, &b);
        double ns = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 20000;
        if (ns < best) best = ns;
    }
    printf("%f\n", best);
    return 0;
}
"""


def per_call_ns(timer):
    return timer.timeit(NUMBER) / NUMBER * 1e9


def paired(call, reference, rounds):
    """The median over rounds of call's time per call less reference's."""
    timers = [timeit.Timer(statement, globals=names) for statement, names in (call, reference)]
    differences = []
    for _ in range(rounds):
        ours, theirs = (per_call_ns(timer) for timer in timers)
        differences.append(ours - theirs)
    return statistics.median(differences)


def stat_floor_ns(missing, scratch):
    """stat(2) of `missing` in a C loop, or None without a C compiler."""
    source, binary = scratch / "stat_loop.c", scratch / "stat_loop"
    source.write_text(STAT_LOOP)
    try:
        subprocess.run(["cc", "-O2", "-o", str(binary), str(source)], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return float(subprocess.run([str(binary), missing], check=True, capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30, help="rounds of each pair")
    args = parser.parse_args()
    with scratch_folder("tw-bench-calls-") as scratch:
        missing = scratch / "missing" / "plan.md"
        names = {
            "is_": operator.is_,
            "access": os.access,
            "fuzzy_score": pagecase.fuzzy_score,
            "contain": pagecase.contain,
            "is_markdown": pagecase.is_markdown,
            "stat_signature": pagecase.stat_signature,
            "root": scratch,
            "doc": Path("notes/plan.md"),
            "missing": missing,
            "missing_bytes": os.fsencode(missing),
            "long": "x" * 250 + "abc" + "yyy",
        }
        empty = ("is_(1, 2)", names)
        cases = [
            ("fuzzy_score, a query of one letter", ("fuzzy_score('a', 'a')", names), empty),
            ("contain, an empty path", ("contain(root, '')", names), empty),
            ("is_markdown, a short name", ("is_markdown(doc)", names), empty),
            (
                "stat_signature, a missing file",
                ("stat_signature(missing)", names),
                ("access(missing_bytes, 0)", names),
            ),
        ]
        print(f"per call, beyond the reference (median of {args.rounds} rounds of {NUMBER:,} calls):")
        for label, call, reference in cases:
            extra = paired(call, reference, args.rounds)
            print(f"  {label:40} {extra:6.1f} ns   {CARD.check('call', extra, label)}")

        print("\nwithout a goal:")
        cell = paired(("fuzzy_score('abc', long)", names), empty, args.rounds)
        print(f"  fuzzy_score, a query of 3 over 256 characters: {cell:.1f} ns beyond an empty C call")
        floor = stat_floor_ns(str(missing), scratch)
        if floor is None:
            print("  stat_signature beyond stat(2) in a C loop: not measured (no C compiler)")
        else:
            ours = statistics.median(
                per_call_ns(timeit.Timer("stat_signature(missing)", globals=names))
                - per_call_ns(timeit.Timer("is_(1, 2)", globals=names))
                for _ in range(args.rounds)
            )
            label = f"stat_signature beyond an empty C call and stat(2) in a C loop ({floor:.0f} ns)"
            print(f"  {label}: {ours - floor:.1f} ns")
    return CARD.report()


if __name__ == "__main__":
    sys.exit(main())
