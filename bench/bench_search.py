"""Quick open and the folder listing against pure-Python versions of the same steps.

    python bench/bench_search.py [--runs N] [--tree DIR] [--fuzzy-only]

Generates a tree of 20,000 Markdown files and 20,000 other files in about
2,000 folders (plus node_modules and hidden folders the scan never enters)
and a folder of 10,000 entries, in a temporary folder that is removed at the
end (with --tree DIR, in DIR instead, generated once and kept for later
runs), then times:

- `search_markdown` for a few queries and `scan_markdown`, against the same
  steps written plainly in Python (reference/quick_open.py: os.walk and
  plain loops), and against a floor: a small C++ program, compiled here with
  g++, that only reads the directories the scan reads;
- `fuzzy_score` per call over the scanned relative paths;
- `fuzzy_score` by cell: candidates of 10 to 4,096 characters of ASCII,
  Latin-1 or BMP filler (x, é, Σ) with the query's letters spread over them
  in capitals, for queries of 3 to 64 letters and one that fails at its
  last letter; each cell's speed-up is held to the goal;
- `fuzzy_score` on adversarial inputs: long queries whose every character is
  found a little beyond the usual short distance, in the other case, or only
  after text beyond ASCII, where the work must stay linear in the lengths;
- `list_folder` of the 10,000-entry folder.

`--fuzzy-only` runs the fuzzy_score cells and the adversarial inputs
alone, without the tree.

Each figure is the best of several runs with a warm page cache; the ratios
are printed at the end with their goals, then the goals missed; the exit
status is 1 when one was.
"""

import argparse
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the reference versions

from goals import Goal, Scorecard
from scratch import scratch_folder

from reference.listing import list_folder as py_list_folder
from reference.quick_open import fuzzy_score as py_fuzzy_score
from reference.quick_open import scan_markdown as py_scan_markdown
from reference.quick_open import search_markdown as py_search_markdown
from tidewing_quillery import pagecase

QUERIES = ["readme", "dia", "gs", "notes/plan", "zzqx"]

GOALS = {
    "search": Goal("search_markdown, speed-up over pure Python", ">=", 10),
    "scan": Goal("scan_markdown, speed-up over pure Python", ">=", 10),
    "fuzzy": Goal("fuzzy_score per call, speed-up over pure Python", ">=", 10),
    "fuzzy cell": Goal("fuzzy_score of a cell, speed-up over pure Python", ">=", 10),
    "list_folder": Goal("list_folder of 10,000 entries, speed-up over pure Python", ">=", 5),
    "floor": Goal("search_markdown, time / the floor (C++ reading the same folders)", "<=", 2),
    "adversarial": Goal("fuzzy_score on an adversarial input, time / pure Python's", "<=", 2),
}


# ---------------------------------------------------------------- the floor

FLOOR_SOURCE = r"""
// Reads every directory the scan reads (hidden and node_modules folders
// pruned, links never entered), and nothing else; prints the best time.
#include <dirent.h>
#include <time.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static long entries = 0;

static void walk(const std::string& path, int depth) {
    DIR* dir = opendir(path.c_str());
    if (!dir) return;
    std::vector<std::string> children;
    while (const dirent* entry = readdir(dir)) {
        ++entries;
        if (entry->d_type != DT_DIR || entry->d_name[0] == '.') continue;
        if (std::strcmp(entry->d_name, "node_modules") == 0) continue;
        children.push_back(path + "/" + entry->d_name);
    }
    closedir(dir);
    if (depth < 12)
        for (const std::string& child : children) walk(child, depth + 1);
}

int main(int argc, char** argv) {
    int runs = std::atoi(argv[2]);
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
        timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        walk(argv[1], 0);
        clock_gettime(CLOCK_MONOTONIC, &end);
        double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
        if (seconds < best) best = seconds;
    }
    std::printf("%.9f %ld\n", best, entries / runs);
}
"""


def floor_seconds(root, runs, scratch):
    source, binary = scratch / "floor.cpp", scratch / "floor"
    source.write_text(FLOOR_SOURCE)
    subprocess.run(["g++", "-O2", "-std=c++17", "-o", str(binary), str(source)], check=True)
    out = subprocess.run([str(binary), str(root), str(runs)], check=True, capture_output=True, text=True)
    seconds, entries = out.stdout.split()
    return float(seconds), int(entries)


# ------------------------------------------------------------------ the tree

WORDS = [
    "readme",
    "notes",
    "plan",
    "guide",
    "setup",
    "index",
    "Data_Integrity",
    "audit",
    "meeting",
    "draft",
    "todo",
    "changelog",
    "design",
    "review",
    "api",
    "faq",
]


def make_tree(base):
    """20 x 10 x 10 folders (plus their parents) with 10 Markdown and 10 other files each."""
    if (base / "complete").exists():
        return
    docs = base / "docs"
    count = 0
    for a in range(20):
        for b in range(10):
            for c in range(10):
                folder = docs / f"area{a:02}-{WORDS[a % len(WORDS)]}" / f"part{b}" / f"Topic{c}"
                folder.mkdir(parents=True, exist_ok=True)
                for k in range(10):
                    word = WORDS[(a + b + c + k) % len(WORDS)]
                    (folder / f"{word}-{count}.md").write_text("x")
                    (folder / f"{word}-{count}.txt").write_text("x")
                    count += 1
    for hidden in ("node_modules/pkg", ".git/objects", ".cache/x"):
        folder = docs / "area00-readme" / hidden
        folder.mkdir(parents=True)
        for k in range(200):
            (folder / f"skipped-{k}.md").write_text("x")
    wide = base / "wide"
    wide.mkdir()
    for k in range(6000):
        (wide / f"{WORDS[k % len(WORDS)]}-{k}.md").write_text("x")
    for k in range(3000):
        (wide / f"other-{k}.txt").write_text("x")
    for k in range(1000):
        (wide / f"Folder{k}").mkdir()
    (base / "complete").write_text("")


# ------------------------------------------------------------------- timing


def best_of(runs, func):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def report(label, native, baseline):
    print(
        f"{label:<34} native {native * 1e3:9.3f} ms   python {baseline * 1e3:9.2f} ms   ratio {baseline / native:7.1f}x"
    )
    return baseline / native


# ---------------------------------------------------------- fuzzy cells

FILLERS = {"ASCII": "x", "Latin-1": "\u00e9", "BMP": "\u03a3"}
CELL_QUERIES = [(3, True), (8, True), (16, True), (64, True), (3, False)]
CELL_LENGTHS = [10, 64, 256, 1024, 4096]
LETTERS = "abcdefghijklmnopqrstuvw0123456789"


def fuzzy_cell(filler, query_length, length, fits):
    """A query and a candidate of `length` characters of `filler` holding the
    query's letters, spread evenly, in capitals; a query that does not fit
    has a last letter the candidate lacks."""
    query = "".join(LETTERS[k % len(LETTERS)] for k in range(query_length))
    placed = query if fits else query[:-1]
    candidate = [filler] * length
    count = min(len(placed), length)
    for k in range(count):
        candidate[(k + 1) * length // (count + 1) if count < length else k] = placed[k].upper()
    return (query if fits else query[:-1] + "z"), "".join(candidate)


def per_call(function, query, candidate, runs, number=200):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(number):
            function(query, candidate)
        best = min(best, (time.perf_counter() - start) / number)
    return best


def bench_fuzzy_cells(runs, card):
    """Each cell's speed-up over pure Python, against its goal."""
    print(f"\nfuzzy_score by cell: speed-up over pure Python (goal {GOALS['fuzzy cell']}; * missed)")
    for kind, filler in FILLERS.items():
        print(f"  {kind + ' filler':<17}" + "".join(f"{length:>9}" for length in CELL_LENGTHS))
        for query_length, fits in CELL_QUERIES:
            cells = []
            for length in CELL_LENGTHS:
                query, candidate = fuzzy_cell(filler, query_length, length, fits)
                assert pagecase.fuzzy_score(query, candidate) == py_fuzzy_score(query, candidate)
                native = per_call(pagecase.fuzzy_score, query, candidate, runs)
                baseline = per_call(py_fuzzy_score, query, candidate, runs)
                subject = f"{kind}, query {query_length}{'' if fits else ' no fit'}, {length} characters"
                missed = card.check("fuzzy cell", baseline / native, subject).endswith("MISSED")
                cells.append(f"{baseline / native:8.1f}{'*' if missed else 'x'}")
            print(f"  {'query ' + str(query_length) + ('' if fits else ', no fit'):<17}" + "".join(cells))


# ------------------------------------------------------ adversarial fuzzy

N = 117647  # about 2 MB of candidate for the longest inputs


def adversarial_inputs():
    """(label, query, candidate): each query character is matched once, every
    match a fixed distance after the previous one, or the query fails late."""
    return [
        ("capital after 16", "a" * N, ("x" * 16 + "A") * N),
        ("capital after 300", "a" * (N // 20), ("x" * 300 + "A") * (N // 20)),
        ("letter after 16", "a" * N, ("x" * 16 + "a") * N),
        ("capital query, letter after 40", "A" * (N // 3), ("x" * 40 + "a") * (N // 3)),
        ("fails at the end", "a" * N + "b", ("x" * 16 + "A") * N),
        ("no fit after 2 MB", "ab", "a" + "x" * (17 * N)),
        ("query beyond ASCII", "a" * N + "\u00e9", ("x" * 16 + "A") * N),
        ("candidate Latin-1", "a" * N, ("\u00e9" * 16 + "A") * N),
        ("candidate Latin-1, far", "a" * 64, ("\u00e9" * 30000 + "A") * 64),
        ("candidate 2-byte", "a" * N, ("\u0436" * 16 + "A") * N),
        ("candidate 2-byte, far", "a" * 64, ("\u0436" * 30000 + "A") * 64),
        ("candidate 4-byte", "a" * (N // 4), ("\U0001f600" * 16 + "A") * (N // 4)),
        ("long query, short candidate", "a" * (17 * N), "xA" * 8),
    ]


def bench_adversarial_fuzzy(runs, card):
    """Time native / pure Python for each adversarial input, against its goal."""
    print("\nfuzzy_score on adversarial inputs")
    for label, query, candidate in adversarial_inputs():
        expected = py_fuzzy_score(query, candidate)
        assert pagecase.fuzzy_score(query, candidate) == expected, label
        native = best_of(runs, lambda: pagecase.fuzzy_score(query, candidate))
        baseline = best_of(runs, lambda: py_fuzzy_score(query, candidate))
        slower = native / baseline
        print(
            f"  {label:<31} native {native * 1e3:9.3f} ms   python {baseline * 1e3:9.3f} ms   "
            f"{slower:6.2f}x the pure-Python time " + card.check("adversarial", slower, label)
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument(
        "--tree",
        type=Path,
        help="generate the tree here once, and keep it (default: a temporary folder, removed at the end)",
    )
    parser.add_argument("--fuzzy-only", action="store_true", help="only the adversarial fuzzy_score inputs")
    args = parser.parse_args()
    card = Scorecard(GOALS)
    if args.fuzzy_only:
        bench_fuzzy_cells(args.runs, card)
        bench_adversarial_fuzzy(args.runs, card)
    else:
        with scratch_folder("tidewing-bench-search-") as scratch:
            bench_tree(args.tree or scratch / "tree", args.runs, card, scratch)
    return card.report()


def bench_tree(tree, runs, card, scratch):
    print(f"tree: {tree}" + ("" if (tree / "complete").exists() else " (generating)"))
    make_tree(tree)
    roots = [tree / "docs"]
    scanned = pagecase.scan_markdown(roots)
    assert scanned == py_scan_markdown(roots), "the native scan differs from the pure-Python one"
    print(f"scan: {len(scanned)} Markdown files")

    ratios = {}
    search_native = []
    for query in QUERIES:
        assert pagecase.search_markdown(roots, query) == py_search_markdown(roots, query), query
        native = best_of(runs, lambda: pagecase.search_markdown(roots, query))
        baseline = best_of(max(1, runs // 2), lambda: py_search_markdown(roots, query))
        ratios["search", query] = report(f"search_markdown {query!r}", native, baseline)
        search_native.append(native)
    native = best_of(runs, lambda: pagecase.scan_markdown(roots))
    baseline = best_of(max(1, runs // 2), lambda: py_scan_markdown(roots))
    ratios["scan", ""] = report("scan_markdown", native, baseline)

    candidates = [item["relative"] for item in scanned]
    pairs = [(query, candidate) for query in QUERIES for candidate in candidates[:4000]]
    for query, candidate in pairs[:2000]:
        assert pagecase.fuzzy_score(query, candidate) == py_fuzzy_score(query, candidate)
    fuzzy = pagecase.fuzzy_score
    native = best_of(runs, lambda: [fuzzy(q, c) for q, c in pairs]) / len(pairs)
    baseline = best_of(runs, lambda: [py_fuzzy_score(q, c) for q, c in pairs]) / len(pairs)
    print(
        f"{'fuzzy_score per call':<34} native {native * 1e9:9.1f} ns   python {baseline * 1e9:9.1f} ns   "
        f"ratio {baseline / native:7.1f}x"
    )
    ratios["fuzzy", ""] = baseline / native
    bench_fuzzy_cells(runs, card)
    bench_adversarial_fuzzy(max(1, runs // 2), card)

    wide = tree / "wide"
    assert pagecase.list_folder(wide) == py_list_folder(wide)
    native = best_of(runs, lambda: pagecase.list_folder(wide))
    baseline = best_of(runs, lambda: py_list_folder(wide))
    ratios["list_folder", ""] = report("list_folder (10,000 entries)", native, baseline)

    floor, entries = floor_seconds(roots[0], runs * 4, scratch)
    print(f"{'floor: C++ reading the same dirs':<34} {floor * 1e3:9.3f} ms ({entries} entries read)")

    print("\nratios")
    for (key, query), ratio in ratios.items():
        label = f"{key} {query!r}" if query else key
        print(f"  {label:<26} {ratio:7.1f}x faster than pure Python " + card.check(key, ratio, query))
    for query, native in zip(QUERIES, search_native):
        print(f"  search {query!r:<19} {native / floor:7.2f}x the floor " + card.check("floor", native / floor, query))


if __name__ == "__main__":
    sys.exit(main())
