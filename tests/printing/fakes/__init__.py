"""Stand-ins for the toolkits the printing module imports at call time.

Each fake is written from the calls the backends make and records every call
it receives, with the name of the thread it arrived on, in a shared Journal,
so tests can check both the order of the calls and the threads they ran on.
"""

import queue
import threading
import time


class Journal:
    """Every call the fakes receive: (thread name, call, *arguments)."""

    def __init__(self):
        self.entries = []
        self._lock = threading.Lock()

    def record(self, call, *args):
        with self._lock:
            self.entries.append((threading.current_thread().name, call, *args))

    def calls(self):
        with self._lock:
            return [entry[1] for entry in self.entries]

    def wait_for(self, call, count=1, timeout=10.0):
        """Block until `call` has been recorded `count` times (no assertion on time)."""
        deadline = time.monotonic() + timeout
        while self.calls().count(call) < count:
            if time.monotonic() > deadline:
                raise AssertionError(f"{call!r} was not called {count} time(s): {self.calls()}")
            time.sleep(0.005)


class UiLoop:
    """A thread running posted callables one at a time, as a GUI main loop does."""

    def __init__(self, name):
        self.errors = []
        self._queue = queue.Queue()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def post(self, callable_):
        self._queue.put(callable_)

    def hold(self):
        """Keep the loop busy until the returned event is set."""
        release = threading.Event()
        self.post(release.wait)
        return release

    def drain(self):
        self._queue.join()

    def stop(self):
        self._queue.put(None)
        self._thread.join()

    def _run(self):
        while (callable_ := self._queue.get()) is not None:
            try:
                callable_()
            except Exception as exc:  # a real loop reports and goes on
                self.errors.append(exc)
            finally:
                self._queue.task_done()


class ToolkitError(Exception):
    """An error as a toolkit reports it: its str is the message."""
