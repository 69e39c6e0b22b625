"""Calls run in forked children, where each must end normally: return a
value or raise a Python exception. A signal, an abort, an exit without a
report, or a hang past the timeout fails the call, with the end of the
child's stderr (and the Python stack of a crash) in the message.

Forking a large test process is dear (under AddressSanitizer, tens of
milliseconds for the page tables alone), so a module's `Cases` run one after
another in one child, which puts back the namespaces they may rebind after
each; when a case takes its child down, a fresh child goes on with the next.
`run` gives calls a child of their own, for calls that limit the child first.
"""

import dataclasses
import faulthandler
import functools
import gc
import os
import pathlib
import pickle
import resource
import select
import signal
import sys
import tempfile
import time
import warnings

import pytest

# AddressSanitizer reserves terabytes of address space, so limits on it cannot work there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
TIMEOUT = 60.0 if UNDER_ASAN else 20.0


# ------------------------------------------------------------ the child


@dataclasses.dataclass
class Outcome:
    """What one call did: "returned" with a digest of the value, or "raised" with the
    exception's type name (and those of its bases); `text` is for messages only."""

    kind: str
    value: object
    text: str
    bases: tuple = ()

    @property
    def error(self):
        return self.value if self.kind == "raised" else None


def digest(value, depth=0):
    """What two results are compared by: plain data by value, paths by class
    and text, records by class name and fields, any other object by type."""
    kind = type(value)
    if depth > 50:
        return ("nested too deep",)
    if value is None or kind in (bool, int, str, bytes):
        return value
    if kind is float:
        return ("float", repr(value))
    if isinstance(value, pathlib.PurePath):
        return ("path", kind.__name__, str(value))
    if kind in (list, tuple):
        return (kind.__name__, [digest(item, depth + 1) for item in value])
    if kind is dict:
        return ("dict", [(digest(key, depth + 1), digest(item, depth + 1)) for key, item in value.items()])
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return ("record", kind.__name__, [digest(getattr(value, f.name), depth + 1) for f in dataclasses.fields(value)])
    return ("object", kind.__qualname__)


def short(text, limit=160):
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} characters)"


def outcome_of(call):
    try:
        result = call()
    except BaseException as error:  # every exception is a normal outcome here
        try:
            text = f"{type(error).__qualname__}: {error}"
        except BaseException:
            text = type(error).__qualname__
        bases = tuple(kind.__qualname__ for kind in type(error).__mro__)
        return Outcome("raised", type(error).__qualname__, short(text), bases)
    try:
        value, text = digest(result), short(repr(result))
    except BaseException as error:
        value, text = ("undigestable", type(result).__qualname__), f"(repr raised {type(error).__name__})"
    del result
    return Outcome("returned", value, text)


class Namespaces:
    """The attributes of some modules, the loaded modules and the environment, put back after each case."""

    def __init__(self, modules):
        self.saved = [(vars(module), dict(vars(module))) for module in modules]
        self.loaded, self.environment = dict(sys.modules), dict(os.environ)

    def restore(self):
        for namespace, saved in self.saved:
            for name in [name for name in namespace if name not in saved]:
                del namespace[name]
            for name, value in saved.items():
                if namespace.get(name, None) is not value:
                    namespace[name] = value
        for name in [name for name in sys.modules if name not in self.loaded]:
            del sys.modules[name]
        sys.modules.update(self.loaded)
        os.environ.clear()
        os.environ.update(self.environment)


def report(fd, value):
    """One framed pickle to the parent."""
    payload = pickle.dumps(value)
    view = memoryview(len(payload).to_bytes(8, "little") + payload)
    while view:
        view = view[os.write(fd, view) :]


def child(cases, before, isolate, report_fd, stderr_fd):
    """Runs each case's calls and reports their outcomes, one report per case."""
    os.dup2(stderr_fd, 2)
    faulthandler.enable(2)  # a crash's Python stack goes to the report as well
    try:
        if before is not None:
            before()
        namespaces = Namespaces(isolate)
        for calls in cases:
            os.ftruncate(2, 0)  # what a case that fails leaves on stderr is its own
            os.lseek(2, 0, os.SEEK_SET)
            outcomes = []
            for call in calls:
                outcomes.append(outcome_of(call))
                gc.collect(0)  # a crash while freeing what the call made is still this case's
            namespaces.restore()
            report(report_fd, outcomes)
    except BaseException as error:
        report(report_fd, f"the harness itself failed: {error!r}")
    os._exit(0)


def describe(status):
    if os.WIFSIGNALED(status):
        return f"killed by {signal.Signals(os.WTERMSIG(status)).name}"
    return f"exited with status {os.WEXITSTATUS(status)} before reporting"


def excerpt(text, head=3000, tail=1000):
    """A crash report's start (the error and the innermost frames) and end."""
    return text if len(text) <= head + tail else f"{text[:head]}\n[...]\n{text[-tail:]}"


def run_batch(cases, before, isolate, timeout):
    """Runs `cases` (each a tuple of calls) in one forked child until one does not end normally:
    the outcomes of those that ended, and a message for the one that did not (or None)."""
    with tempfile.TemporaryFile() as stderr:
        report_read, report_write = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads on 3.12+
            pid = os.fork()
        if pid == 0:
            os.close(report_read)
            child(cases, before, isolate, report_write, stderr.fileno())
        os.close(report_write)
        received, reports, hung = b"", [], False
        deadline = time.monotonic() + timeout
        try:
            while True:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    hung = True
                    os.kill(pid, signal.SIGKILL)
                    break
                if not select.select([report_read], [], [], remaining)[0]:
                    continue
                chunk = os.read(report_read, 1 << 16)
                if not chunk:
                    break
                received += chunk
                while len(received) >= 8 and len(received) >= 8 + (size := int.from_bytes(received[:8], "little")):
                    reports.append(pickle.loads(received[8 : 8 + size]))
                    received = received[8 + size :]
                    deadline = time.monotonic() + timeout  # each case has the whole timeout
        finally:
            os.close(report_read)
            status = os.waitpid(pid, 0)[1]
        stderr.seek(0)
        errors = excerpt(stderr.read().decode(errors="replace"))
    if reports and isinstance(reports[-1], str):
        pytest.fail(reports[-1])
    if len(reports) == len(cases):
        return reports, None
    if hung:
        return reports, f"the call hung for more than {timeout:.0f} s\n{errors}"
    return reports, f"the child {describe(status)}\n{errors}"


def run_cases(cases, before=None, isolate=(), timeout=TIMEOUT):
    """Runs `cases` ({name: tuple of calls}) in forked children, putting the attributes of the
    modules in `isolate` back after each: {name: outcomes, or why the case took its child down}."""
    names, results = list(cases), {}
    while names:
        reports, failure = run_batch([cases[name] for name in names], before, isolate, timeout)
        results.update(zip(names, reports))
        done = len(reports)
        if failure is not None:
            results[names[done]] = failure
            done += 1
        names = names[done:]
    return results


def outcomes_of(result):
    """The outcomes of a case run by `run_cases`, or the test's failure when it took its child down."""
    if isinstance(result, str):
        pytest.fail(result)
    return result


def run(*calls, before=None, timeout=TIMEOUT):
    """The outcomes of `calls` in a child of their own, `before` first; the test fails unless it ends normally."""
    reports, failure = run_batch([calls], before, (), timeout)
    return outcomes_of(failure if failure is not None else reports[0])


def run_one(call, **options):
    return run(call, **options)[0]


# ---------------------------------------------------------- a module's cases

SAME = "what the second call gives"


class Cases(dict):
    """A test module's cases by name: each a tuple of calls of one argument, and what is expected
    of the first (see assert_expected), or SAME: the same result, or an exception of the same type,
    as the second call (when there is one), and the same message for the types in `messages`."""

    def __init__(self, messages=()):
        super().__init__()
        self.messages = messages

    def add(self, cases):
        """Adds `cases`; their names, to parametrize a test with."""
        assert not self.keys() & cases.keys()
        self.update(cases)
        return list(cases)

    def run(self, request, argument, **options):
        """Runs the cases the session selected (as parameter "case"), each call given `argument`."""
        names = [
            item.callspec.params["case"]
            for item in request.session.items
            if item.module is request.module and "case" in getattr(getattr(item, "callspec", None), "params", {})
        ]
        return run_cases(
            {name: tuple(functools.partial(call, argument) for call in self[name][0]) for name in names}, **options
        )

    def check(self, outcomes, name):
        found, expected = outcomes_of(outcomes[name]), self[name][1]
        if expected is not SAME:
            assert_expected(found[0], expected)
        elif len(found) == 2:
            native, documented = found
            assert (native.kind, native.value) == (documented.kind, documented.value), (
                f"native: {native.text}\ndocumented steps: {documented.text}"
            )
            if documented.error in self.messages:
                assert native.text == documented.text


def assert_expected(outcome, expected):
    """`expected` is an exception type's name (a subclass will do), "returned", or None for any outcome."""
    if expected == "returned":
        assert outcome.kind == "returned", f"expected a result, got {outcome.text}"
    elif expected is not None:
        assert expected in outcome.bases, f"expected {expected}, got {outcome.text}"


# ----------------------------------------------------------- exhaustion


def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))


def limit_address_space(headroom):
    """Lets the process map at most `headroom` bytes more than it has now."""

    def before():
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, resource.getrlimit(resource.RLIMIT_AS)[1]))

    return before


def no_descriptors_left():
    """Every new file descriptor fails with EMFILE."""
    lowest_free = os.open(os.devnull, os.O_RDONLY)
    os.close(lowest_free)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


def address_limits_apply():
    """Whether a lowered RLIMIT_AS reads back as set. An emulator running this interpreter (qemu-user)
    accepts the call but keeps the limit from the host, where it would bind the emulator itself."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    probe = 1 << 62 if soft == resource.RLIM_INFINITY else soft - 1
    try:
        resource.setrlimit(resource.RLIMIT_AS, (probe, hard))
        return resource.getrlimit(resource.RLIMIT_AS)[0] == probe
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


needs_address_limits = pytest.mark.skipif(
    UNDER_ASAN or not address_limits_apply(),
    reason="AddressSanitizer needs an unlimited address space"
    if UNDER_ASAN
    else "address-space limits do not apply to an emulated interpreter",
)
# The sanitizers' own checks open pipes (to probe memory), and fail without descriptors.
needs_descriptor_limits = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizers need file descriptors of their own")
