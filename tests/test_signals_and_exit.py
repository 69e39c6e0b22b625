"""Ctrl-C and interpreter exit while native work runs: a blocking call ends with
KeyboardInterrupt as the interpreter's own calls do, and daemon threads still
inside the modules when the main thread returns never take the process down.
Each scenario runs in a fresh interpreter, so that a hang or an abort fails one
test instead of the run."""

import os
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

TIMEOUT = 60


def run_script(script, tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), TIDEWING_MD_STATE_DIR=str(tmp_path / "state"))
    path = tmp_path / "script.py"  # a file, so that tracebacks show its lines
    path.write_text(textwrap.dedent(script))
    return subprocess.run(
        [sys.executable, str(path), str(tmp_path), *args], env=env, capture_output=True, text=True, timeout=TIMEOUT
    )


# The interrupt arrives from a timer, as Ctrl-C would, while the call blocks.
# On a loaded machine it may land before the call begins: then it is tried
# again, so that what is judged is the call's own ending.
INTERRUPTED_CALL = """
    import os, signal, sys, threading, time, traceback, pathlib
    from tidewing_quillery import pagecase
    base, how = pathlib.Path(sys.argv[1]), sys.argv[2]
    fifo = base / "p.md"
    os.mkfifo(fifo)
    if how == "writer that never writes":
        threading.Thread(target=lambda: (open(fifo, "wb"), time.sleep(60)), daemon=True).start()
    main = threading.main_thread().ident
    for attempt in range(5):
        try:
            threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT)).start()
            pagecase.read_document(fifo)
        except KeyboardInterrupt as interrupt:
            if "read_document" in traceback.extract_tb(interrupt.__traceback__)[-1].line:
                print("KeyboardInterrupt")
                break
"""


@pytest.mark.native_fs  # pathlib's read_bytes ends in frames of its own
@pytest.mark.parametrize("how", ["no writer", "writer that never writes"])
def test_ctrl_c_ends_a_document_read_that_blocks(tmp_path, how):
    result = run_script(INTERRUPTED_CALL, tmp_path, how)
    assert result.stdout.strip() == "KeyboardInterrupt", result.stderr


# Four daemon threads loop on one call while the main thread returns.
DAEMONS_AT_EXIT = """
    import pathlib, sys, threading, time
    from tidewing_quillery import pagecase
    from tidewing_lattice.tw_lattice import TwFernet, tw_lattice
    base, call = pathlib.Path(sys.argv[1]), sys.argv[2]
    root = base / "tree"
    document = root / "a" / "n1.md"
    cipher = TwFernet(TwFernet.generate_key())
    token = cipher.encrypt(b"x" * 100_000)
    box = tw_lattice("a secret of some length")
    data = box.encrypt_data(b"x" * 1000, "a.txt")
    calls = {
        "scan_markdown": lambda: pagecase.scan_markdown([root]),
        "search_markdown": lambda: pagecase.search_markdown([root], "n1"),
        "read_document": lambda: pagecase.read_document(document),
        "list_folder": lambda: pagecase.list_folder(root, "a"),
        "TwFernet.encrypt": lambda: cipher.encrypt(b"y" * 100_000),
        "TwFernet.decrypt": lambda: cipher.decrypt(token),
        "decrypt_data": lambda: box.decrypt_data(data, "a.txt"),
        "RecentFiles.add": lambda: pagecase.RecentFiles.load().add(document),
        "Favorites.toggle": lambda: pagecase.Favorites.load().toggle(document),
    }
    def loop(call=calls[call]):
        while True:
            call()
    for _ in range(4):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.05)
"""

CALLS = [
    "scan_markdown",
    "search_markdown",
    "read_document",
    "list_folder",
    "TwFernet.encrypt",
    "TwFernet.decrypt",
    "decrypt_data",
    "RecentFiles.add",
    "Favorites.toggle",
]


@pytest.mark.parametrize("call", CALLS)
def test_daemon_threads_inside_a_call_let_the_process_exit(tmp_path, call):
    (tmp_path / "tree" / "a").mkdir(parents=True)
    for k in range(200):
        (tmp_path / "tree" / "a" / f"n{k}.md").write_text(f"# Note {k}\n")
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: run_script(DAEMONS_AT_EXIT, tmp_path, call), range(20)))
    endings = [(r.returncode, r.stderr.strip()[-200:]) for r in results if r.returncode != 0]
    assert endings == []


# ---------------------------------------------------------------- the host's whole life

# A handler registered before the package was imported runs after the
# package's own: a worker it waits for must still be served, to its last call.
EXIT_HANDLER_WAITS = """
    import atexit, logging, logging.handlers, queue, sys, threading
    how = sys.argv[2]
    jobs, done = queue.Queue(), []
    def work():
        while (job := jobs.get()) is not None:
            job()
    worker = threading.Thread(target=work, daemon=True)
    worker.start()
    def at_exit():
        if how == "job handed over at exit":
            jobs.put(lambda: done.append(pagecase.fuzzy_score("a", "a")))
        elif how == "worker busy in calls":
            stop.set()
        jobs.put(lambda: done.append(pagecase.RecentFiles.load().add(pathlib.Path(sys.argv[1]) / "last.md")))
        jobs.put(None)
        worker.join()
        print("joined", len(done))
    atexit.register(at_exit)
    import pathlib
    from tidewing_quillery import pagecase
    from tidewing_lattice.tw_lattice import TwFernet
    stop = threading.Event()
    if how == "worker busy in calls":
        jobs.put(lambda: [pagecase.fuzzy_score("ab", "a_b") for _ in iter(stop.is_set, True)])
    if how == "logging through the cipher":
        cipher = TwFernet(TwFernet.generate_key())
        class Sealed(logging.Handler):
            def emit(self, record):
                cipher.encrypt(self.format(record).encode())
        records = queue.Queue()
        listener = logging.handlers.QueueListener(records, Sealed())
        listener.start()
        atexit.register(listener.stop)
        log = logging.getLogger("host")
        log.addHandler(logging.handlers.QueueHandler(records))
        threading.Thread(target=lambda: [log.warning("x" * 1000) for _ in range(10**9)], daemon=True).start()
"""


@pytest.mark.parametrize("how", ["job handed over at exit", "worker busy in calls", "logging through the cipher"])
def test_exit_handlers_that_wait_for_workers_end(tmp_path, how):
    result = run_script(EXIT_HANDLER_WAITS, tmp_path, how)
    assert (result.returncode, result.stdout.split()) == (
        0,
        ["joined", "2" if how == "job handed over at exit" else "1"],
    )
    assert "last.md" in (tmp_path / "state" / "recent.json").read_text()


# A daemon thread logs through an encrypting handler while logging.shutdown,
# registered at `import logging`, flushes it at exit.
LOGGING_AT_EXIT = """
    import logging, threading, time
    from tidewing_lattice.tw_lattice import TwFernet
    cipher = TwFernet(TwFernet.generate_key())
    class Sealed(logging.Handler):
        def emit(self, record):
            cipher.encrypt(self.format(record).encode() * 100)
    log = logging.getLogger("host")
    log.addHandler(Sealed())
    threading.Thread(target=lambda: [log.warning("record") for _ in range(10**9)], daemon=True).start()
    time.sleep(0.1)
"""


def test_logging_shutdown_with_a_daemon_thread_logging_through_the_cipher(tmp_path):
    assert run_script(LOGGING_AT_EXIT, tmp_path).returncode == 0


# Daemon threads inside calls that run host code when the interpreter ends
# them: a prune whose check sleeps, a scan of a Path subclass overriding resolve().
HOST_CODE_AT_EXIT = """
    import pathlib, sys, threading, time
    from tidewing_quillery import pagecase
    base, how = pathlib.Path(sys.argv[1]), sys.argv[2]
    class Resolving(pathlib.PosixPath):
        def resolve(self, strict=False):
            time.sleep(0.0005)
            return pathlib.PosixPath(self).resolve(strict)
    def check(path):
        time.sleep(0.0005)
        return True
    entries = [{"path": f"/nowhere/{k}.md"} for k in range(100_000)]
    calls = {
        "prune": lambda: pagecase.PathList(base / "list.json", list(entries)).prune(check),
        "scan": lambda: pagecase.scan_markdown([Resolving(base / "tree")] * 50),
    }
    for _ in range(4):
        threading.Thread(target=lambda: [calls[how]() for _ in range(10**9)], daemon=True).start()
    time.sleep(0.3)
"""


@pytest.mark.parametrize("how", ["prune", "scan"])
def test_daemon_threads_in_host_code_called_by_us_let_the_process_exit(tmp_path, how):
    (tmp_path / "tree" / "a").mkdir(parents=True)
    (tmp_path / "tree" / "a" / "n.md").write_text("# n\n")
    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: run_script(HOST_CODE_AT_EXIT, tmp_path, how), range(10)))
    assert [(r.returncode, r.stderr[-300:]) for r in results if r.returncode or r.stderr] == []


# A fork in an exit handler, and a fork from a thread other than the main one:
# the child starts afresh, its new threads call the modules and its own main
# thread (the one that forked) ends a blocking read on a raising handler.
FORKS = """
    import atexit, os, pathlib, signal, sys, threading
    from tidewing_quillery import pagecase
    base, how = pathlib.Path(sys.argv[1]), sys.argv[2]
    def child():
        if how == "during exit":
            thread = threading.Thread(target=lambda: print("child", pagecase.fuzzy_score("a", "a"), flush=True))
            thread.start()
            thread.join()
        else:
            def timeout(signum, frame):
                raise TimeoutError
            signal.signal(signal.SIGALRM, timeout)
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            try:
                pagecase.read_document(base / "fifo.md")
            except TimeoutError:
                print("child interrupted", flush=True)
        os._exit(0)
    def fork():
        try:
            pid = os.fork()
        except RuntimeError:  # CPython 3.12 forks in no exit handler
            print("refused", flush=True)
            return
        if pid == 0:
            child()
        os.waitpid(pid, 0)
    os.mkfifo(base / "fifo.md")
    if how == "during exit":
        atexit.register(fork)
    else:
        thread = threading.Thread(target=fork)
        thread.start()
        thread.join()
"""


@pytest.mark.native_fs  # the FIFO read of the native route
@pytest.mark.parametrize("how", ["during exit", "from a worker thread"])
def test_a_forked_child_starts_afresh(tmp_path, how):
    result = run_script(FORKS, tmp_path, how)
    if result.stdout.split() == ["refused"]:
        pytest.skip("this CPython refuses os.fork() in an exit handler")
    assert result.stdout.split() == (["child", "8"] if how == "during exit" else ["child", "interrupted"]), (
        result.stderr
    )


# Objects that daemon threads still hold at exit are no leak to report; an
# object whose reference was lost still is.
LEAKS = """
    import ctypes, sys, threading, time
    from tidewing_lattice.tw_lattice import tw_lattice
    box = tw_lattice("a secret of some length")
    if sys.argv[2] == "held by a daemon thread":
        threading.Thread(target=lambda held=box: [held.encrypt_string("x") for _ in range(10**9)], daemon=True).start()
        time.sleep(0.1)
    else:
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(box))
"""


@pytest.mark.parametrize("how", ["held by a daemon thread", "reference lost"])
def test_the_leak_report_names_only_lost_references(tmp_path, how):
    result = run_script(LEAKS, tmp_path, how)
    assert result.returncode == 0
    assert ("nanobind: leaked" in result.stderr) == (how == "reference lost"), result.stderr


# A document swapped for a FIFO between the stat and the open, by another
# process exchanging the two names (renameat2) and letting the waiting reads go
# every 0.3 s: a read that waits holding the interpreter lock stops the main
# thread until then.
SWAPPER = """
    import ctypes, os, sys, time
    names = [name.encode() for name in sys.argv[1:]]
    exchange = ctypes.CDLL(None).renameat2
    released = time.monotonic()
    while True:
        exchange(-100, names[0], -100, names[1], 2)
        if time.monotonic() - released > 0.3:
            released = time.monotonic()
            for name in names:
                try:
                    os.close(os.open(name, os.O_WRONLY | os.O_NONBLOCK))
                except OSError:
                    pass
"""

FIFO_SWAP = """
    import os, pathlib, subprocess, sys, threading, time
    from tidewing_quillery import pagecase
    base = pathlib.Path(sys.argv[1])
    document, fifo = base / "doc.md", base / "fifo.md"
    document.write_text("# doc\\n")
    os.mkfifo(fifo)
    swapper = subprocess.Popen([sys.executable, sys.argv[2], str(document), str(fifo)])
    def read():
        while True:
            pagecase.read_document(document)
    for _ in range(3):
        threading.Thread(target=read, daemon=True).start()
    gaps, last = [], time.monotonic()
    while len(gaps) < 300:
        time.sleep(0.01)
        now = time.monotonic()
        gaps.append(now - last)
        last = now
    swapper.kill()
    print(round(max(gaps), 3))
"""


@pytest.mark.native_fs
def test_a_document_swapped_for_a_fifo_never_stops_the_other_threads(tmp_path):
    swapper = tmp_path / "swapper.py"
    swapper.write_text(textwrap.dedent(SWAPPER))
    result = run_script(FIFO_SWAP, tmp_path, str(swapper))
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 0.25


# A handler that raises ends long token work and key derivation on the main
# thread while it runs: each call is timed alone, then again with a timer due
# a fifth into it. On the portable paths a derivation is long enough to judge.
LONG_WORK = """
    import os, signal, sys, time
    from tidewing_lattice.tw_lattice import TwFernet, tw_lattice
    class Raised(Exception):
        pass
    def raise_now(signum, frame):
        raise Raised
    signal.signal(signal.SIGALRM, raise_now)
    cipher = TwFernet(TwFernet.generate_key())
    payload = os.urandom(int(sys.argv[2]) << 20)
    token = cipher.encrypt(payload)
    calls = {
        "encrypt": lambda: cipher.encrypt(payload),
        "decrypt": lambda: cipher.decrypt(token),
        "derivation": lambda: tw_lattice("a secret of some length"),
    }
    for name, call in calls.items():
        start = time.perf_counter()
        call()
        whole = time.perf_counter() - start
        signal.setitimer(signal.ITIMER_REAL, whole / 5)
        start = time.perf_counter()
        try:
            call()
            print(name, "ran to its end")
        except Raised:
            print(name, "ended at", round((time.perf_counter() - start) / whole, 2))
"""


@pytest.mark.parametrize("paths", ["hardware", "portable"])
def test_a_raising_handler_ends_long_token_work(tmp_path, monkeypatch, paths):
    if paths == "portable":
        monkeypatch.setenv("TW_LATTICE_PORTABLE_AES", "1")
        monkeypatch.setenv("TW_LATTICE_PORTABLE_SHA", "1")
    result = run_script(LONG_WORK, tmp_path, "64" if paths == "hardware" else "8")
    ends = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert list(ends) == ["encrypt", "decrypt", "derivation"], result.stderr
    for name, end in ends.items():
        if name == "derivation" and paths == "hardware":
            continue  # a few milliseconds: over before the timer is due
        assert end.startswith("ended at") and float(end.split()[-1]) < 0.6, (name, end)
