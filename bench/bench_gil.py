"""The interpreter lock around native work, both sides of the rule.

    python bench/bench_gil.py

Large work gives the GIL up: two threads doing quick open over a large tree,
listing a folder of 10,000 entries, or encrypting and decrypting 1 MiB tokens
get through the same calls faster than one thread does them all (goal: at
least 1.8x on two cores).

Small work keeps it: a call beside a busy Python thread takes about as long
as alone, rather than waiting out the thread's switch interval (5 ms) to get
the lock back (goal: the median at most 2x the median alone, and well under
the switch interval).
"""

import os
import statistics
import sys
import threading
import time

from goals import Goal, Scorecard
from scratch import scratch_folder

from tidewing_lattice.tw_lattice import TwFernet
from tidewing_quillery import pagecase

GOALS = {
    "scaling": Goal("two threads against one on the same calls", ">=", 1.8),
    "beside busy": Goal("median beside a busy Python thread against alone", "<=", 2.0),
}


def make_tree(base):
    """A tree of 400 folders and 8,000 Markdown files, folders of 10,000, 1,000 and 100
    files, and a document of 1 KiB."""
    tree = base / "tree"
    for a in range(20):
        for b in range(20):
            folder = tree / f"area{a}" / f"topic{b}"
            folder.mkdir(parents=True)
            for k in range(20):
                (folder / f"note{k}.md").touch()
    wide = base / "wide"
    wide.mkdir()
    for k in range(10_000):
        (wide / f"entry{k:05}.md").touch()
    for name, count in (("small", 100), ("medium", 1000)):
        folder = base / name
        folder.mkdir()
        for k in range(count):
            (folder / f"entry{k:04}.md").touch()
    document = base / "doc.md"
    document.write_text("# Title\n" + "x" * 1000)
    return tree, base, document


def run_in_threads(call, calls, threads):
    def work():
        for _ in range(calls // threads):
            call()

    workers = [threading.Thread(target=work) for _ in range(threads)]
    started = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.perf_counter() - started


def run_in_processes(call, calls, processes):
    """The same work split over forked processes: what two cores give when
    nothing is shared, the bound the two threads are measured against."""
    started = time.perf_counter()
    children = []
    for _ in range(processes):
        child = os.fork()
        if child == 0:
            try:
                for _ in range(calls // processes):
                    call()
            finally:
                os._exit(0)
        children.append(child)
    for child in children:
        os.waitpid(child, 0)
    return time.perf_counter() - started


def scaling(call, calls):
    """Two threads, and two processes, against one thread on the same calls."""
    call()  # warm the caches
    one = min(run_in_threads(call, calls, 1) for _ in range(3))
    threads = min(run_in_threads(call, calls, 2) for _ in range(3))
    processes = min(run_in_processes(call, calls, 2) for _ in range(3))
    return one / threads, one / processes


def median_latency(call, repeats=200):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def beside_busy_thread(call):
    stop = threading.Event()

    def spin():
        count = 0
        while not stop.is_set():
            count += 1

    alone = median_latency(call)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        busy = median_latency(call)
    finally:
        stop.set()
        spinner.join()
    return alone, busy


def main():
    card = Scorecard(GOALS)
    with scratch_folder("tidewing-bench-gil-") as scratch:
        tree, base, document = make_tree(scratch)
        cipher = TwFernet(TwFernet.generate_key())
        megabyte = b"x" * (1 << 20)
        token = cipher.encrypt(megabyte)
        kilobyte_token = cipher.encrypt(b"x" * 1024)

        print("Two threads on large work (time of one thread / time of two, same calls;")
        print("two processes, sharing nothing, show what the two cores give):")
        # Enough calls for each run to take a few tenths of a second.
        large = [
            ("search_markdown over 8,000 files", lambda: pagecase.search_markdown([tree], "nt5"), 60),
            ("list_folder of 10,000 entries", lambda: pagecase.list_folder(base, "wide"), 60),
            ("TwFernet.encrypt of 1 MiB", lambda: cipher.encrypt(megabyte), 200),
            ("TwFernet.decrypt of 1 MiB", lambda: cipher.decrypt(token), 200),
        ]
        for name, call, calls in large:
            ratio, bound = scaling(call, calls)
            print(f"  {name:38} {ratio:5.2f}x (processes {bound:4.2f}x)  {card.check('scaling', ratio, name)}")

        print("Small calls beside a busy Python thread (median alone, median beside it):")
        small_calls = [
            ("list_folder of 100 entries", lambda: pagecase.list_folder(base, "small")),
            ("list_folder of 1,000 entries", lambda: pagecase.list_folder(base, "medium")),
            ("read_document of 1 KiB", lambda: pagecase.read_document(document)),
            ("stat_signature", lambda: pagecase.stat_signature(document)),
            ("contain", lambda: pagecase.contain(base, "small/entry0001.md")),
            ("TwFernet.decrypt of 1 KiB", lambda: cipher.decrypt(kilobyte_token)),
        ]
        for name, call in small_calls:
            alone, busy = beside_busy_thread(call)
            ratio = busy / alone
            print(f"  {name:38} {alone * 1e6:8.1f} us {busy * 1e6:8.1f} us  {card.check('beside busy', ratio, name)}")
    return card.report()


if __name__ == "__main__":
    sys.exit(main())
