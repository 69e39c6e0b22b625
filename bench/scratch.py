"""Temporary folders for the trees a benchmark creates, removed whatever ends
the run: its end, an exception, Ctrl-C (KeyboardInterrupt) or SIGTERM."""

import contextlib
import shutil
import signal
import sys
import tempfile
from pathlib import Path


def _exit_on_sigterm(signum, frame):
    # Unwinds the stack as SystemExit does, so the finally clauses below run;
    # the default action would end the process on the spot.
    sys.exit(128 + signum)


@contextlib.contextmanager
def scratch_folder(prefix, parent=None):
    """A new folder under `parent` (the system's temporary folder by default),
    removed with everything in it when the block is left."""
    previous = signal.signal(signal.SIGTERM, _exit_on_sigterm)
    folder = Path(tempfile.mkdtemp(prefix=prefix, dir=parent))
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        signal.signal(signal.SIGTERM, previous)
