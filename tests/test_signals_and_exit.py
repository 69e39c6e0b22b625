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
