"""Leaving with the host: the interpreter's exit, and long work ended by a signal.

    python bench/bench_exit.py [--runs N]

- Exit: fresh processes whose idle daemon threads have used all three modules
  (as a viewer's server threads have) against processes that never import
  them, alternating, N of each (20 by default); the medians' difference is
  the exit delay the modules add (goal: at most 20 ms).
- Signals: long calls on the main thread, a timer raising from its handler
  at 10%, 30%, 50%, 70% and 90% of the call: how long after the timer was due
  the call ended with the handler's exception (goal: at most 50 ms at every
  point): list_folder of 300,000 entries, TwFernet.encrypt and decrypt and
  encrypt_data of 256 MiB, key derivation (tw_lattice construction).
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time

from goals import Goal, Scorecard
from scratch import scratch_folder

from tidewing_lattice.tw_lattice import TwFernet, tw_lattice
from tidewing_quillery import pagecase

GOALS = {
    "exit": Goal("exit with idle daemon threads that used the modules, delay over none", "<=", 20, unit=" ms"),
    "signal": Goal("long call ended by a raising handler, latest end after the signal", "<=", 50, unit=" ms"),
}
CARD = Scorecard(GOALS)

IDLE_DAEMONS = """
    import sys, threading, time
    if sys.argv[1] == "modules":
        from tidewing_quillery import pagecase, printing
        from tidewing_lattice.tw_lattice import TwFernet
        def use_then_idle(ready, done):
            pagecase.fuzzy_score("a", "a")
            printing.settle_ms()
            TwFernet(TwFernet.generate_key()).encrypt(b"x")
            ready.set()
            done.wait()
        for _ in range(4):
            ready = threading.Event()
            threading.Thread(target=use_then_idle, args=(ready, threading.Event()), daemon=True).start()
            ready.wait()
    # The end of the main script: what follows is the interpreter's exit.
    print(time.monotonic(), flush=True)
"""


def exit_delay(runs):
    """Median length of the exit, from the end of the main script to the
    process's end as its parent sees it, of a process that used the modules
    on idle daemon threads and of one that imported nothing, alternating."""
    script = textwrap.dedent(IDLE_DAEMONS)
    times = {"modules": [], "none": []}
    for _ in range(runs):
        for what in times:
            ran = subprocess.run([sys.executable, "-c", script, what], check=True, capture_output=True, text=True)
            times[what].append(time.monotonic() - float(ran.stdout))
    medians = {what: statistics.median(values) * 1000 for what, values in times.items()}
    modules, none = medians["modules"], medians["none"]
    print(f"exit with idle daemon threads: {modules:.1f} ms median; without the modules: {none:.1f} ms")
    delay = medians["modules"] - medians["none"]
    print(f"  delay: {delay:.1f} ms   {CARD.check('exit', delay)}")


class Raised(Exception):
    pass


def raise_on_alarm(signum, frame):
    raise Raised


def latest_end_after_signal(call):
    """The call's length alone, and its ends after a timer due at points of it."""
    start = time.perf_counter()
    call()
    whole = time.perf_counter() - start
    lates = []
    for fraction in (0.1, 0.3, 0.5, 0.7, 0.9):
        due = time.perf_counter() + whole * fraction
        signal.setitimer(signal.ITIMER_REAL, whole * fraction)
        try:
            call()
            signal.setitimer(signal.ITIMER_REAL, 0)
        except Raised:
            lates.append((time.perf_counter() - due) * 1000)
    return whole, lates


def signal_latency(base):
    signal.signal(signal.SIGALRM, raise_on_alarm)
    wide = base / "wide"
    wide.mkdir()
    for k in range(300_000):
        (wide / f"entry{k:06}.md").touch()
    cipher = TwFernet(TwFernet.generate_key())
    box = tw_lattice("a secret of some length")
    payload = os.urandom(256 << 20)
    token = cipher.encrypt(payload)
    calls = {
        "list_folder, 300,000 entries": lambda: pagecase.list_folder(wide, ""),
        "TwFernet.encrypt, 256 MiB": lambda: cipher.encrypt(payload),
        "TwFernet.decrypt, 256 MiB": lambda: cipher.decrypt(token),
        "encrypt_data, 256 MiB": lambda: box.encrypt_data(payload, "data.bin"),
        "key derivation, 10 in a row": lambda: [tw_lattice("a secret of some length") for _ in range(10)],
    }
    for name, call in calls.items():
        whole, lates = latest_end_after_signal(call)
        latest = max(lates) if lates else 0.0
        shown = ", ".join(f"{late:.1f}" for late in lates)
        print(f"{name}: {whole * 1000:.0f} ms alone; ends after the signal (ms): {shown}")
        print(f"  latest: {latest:.1f} ms   {CARD.check('signal', latest, name)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="processes of each kind for the exit medians")
    args = parser.parse_args()
    exit_delay(args.runs)
    with scratch_folder("tw-bench-exit-") as base:
        signal_latency(base)
    return CARD.report()


if __name__ == "__main__":
    sys.exit(main())
