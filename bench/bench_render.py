"""The example viewer's Markdown rendering: time and memory against size.

    python bench/bench_render.py

Renders documents of 1, 2, 4 and 8 MiB in each hostile shape (a long list,
deep nesting, many emphasis markers, a long table, many links, raw HTML) and
in ordinary prose, each in a fresh process that reports the render's CPU
time (the best of as many runs as half a second of it takes, three at least;
on a machine shared with other work the wall clock measures the neighbours
too) and its peak memory growth (VmHWM). Prints the curve, then checks the
goals: 1 MiB of any shape within the 1 s a page's request is given, and 8 MiB
costing at most 1.5 x 4 times what 2 MiB does in time (a larger working
set's cache misses; a quadratic renderer gives 4 x) and 1.25 x 4 times in
memory. 2 MiB is the base because 1 MiB of plain prose still renders largely
in cache. Needs the viewer's requirements (examples/viewer/requirements.txt);
exit status 1 when a goal was missed.
"""

import json
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples" / "viewer"))  # viewer_app

from goals import Goal, Scorecard

MiB = 1 << 20
SIZES_MIB = (1, 2, 4, 8)
GOALS = {
    "1 MiB": Goal("render of 1 MiB", "<=", 1.0, unit=" s"),
    "time": Goal("time of 8 MiB / 4 x time of 2 MiB", "<=", 1.5),
    "memory": Goal("peak memory growth of 8 MiB / 4 x that of 2 MiB", "<=", 1.25),
}
PROSE = (
    "## Notes from the harbour\n\nThe heron waits beside the *quiet* harbour; the tide turns at "
    "[six](tides.md) and the curlews come in with it.\n\n- Walk the shore at low tide.\n"
    "- Count the birds, then `sum` them.\n\n> Field notes are kept **daily**.\n\n"
)
SHAPES = {  # name: (head, unit repeated to the size)
    "long list": ("# List\n\n", "- a\n"),
    "deep nesting": ("", ">"),
    "nested lists": ("", "".join("  " * depth + "- a\n" for depth in range(60))),
    "emphasis markers": ("", "*a **b _c __d "),
    "long table": ("| a | b |\n|---|---|\n", "| c | d |\n"),
    "many links": ("", "[a](b.md) ![i](c.png) <https://e.org> "),
    "raw HTML": ("", '<b onclick="x">t</b> '),
    "ordinary prose": ("# Field guide\n\n", PROSE),
}


def document(shape, size):
    head, unit = SHAPES[shape]
    return head + unit * ((size - len(head)) // len(unit))


def vm_hwm_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM")


def probe(shape, size):
    """In a fresh process: the render's CPU time (best of several) and peak memory growth."""
    from viewer_app.render import render

    text = document(shape, size)
    render("# warm *up*", "/notes/doc.md")
    before = vm_hwm_kib()
    times = []
    while len(times) < 3 or sum(times) < 0.5:
        started = time.process_time()
        render(text, "/notes/doc.md")
        times.append(time.process_time() - started)
    print(json.dumps({"seconds": min(times), "kib": vm_hwm_kib() - before}))


def measure(shape, size):
    out = subprocess.run(
        [sys.executable, __file__, "--probe", shape, str(size)], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout)


def main():
    card = Scorecard(GOALS)
    print(f"{'shape':18}" + "".join(f"{size:>6} MiB: time, memory  " for size in SIZES_MIB))
    for shape in SHAPES:
        results = {size: measure(shape, size * MiB) for size in SIZES_MIB}
        print(
            f"{shape:18}" + "".join(f"{r['seconds']:9.3f} s {r['kib'] / 1024:7.0f} MiB  " for r in results.values()),
            flush=True,
        )
        print(f"{'':18}1 MiB in {results[1]['seconds']:.3f} s " + card.check("1 MiB", results[1]["seconds"], shape))
        base, last = results[2], results[8]
        ratio = last["seconds"] / (4 * base["seconds"])
        print(f"{'':18}time growth {ratio:.2f} " + card.check("time", ratio, shape))
        if base["kib"] >= 8192:  # below that, the allocator's own steps outweigh the render
            ratio = last["kib"] / (4 * base["kib"])
            print(f"{'':18}memory growth {ratio:.2f} " + card.check("memory", ratio, shape))
    return card.report()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--probe":
        probe(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main())
