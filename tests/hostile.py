"""Hostile input for the native modules, and the forked child each call runs in.

A call passes when its child exits normally: the call returned a value or
raised a Python exception. A signal, an abort, an exit without a report, or a
hang past the timeout fails the test, with the end of the child's stderr in
the message. Several calls may share one child (say a native call and the
documented steps with the same kind of arguments); each gets its own outcome.

The objects below stand for what a host may pass instead of the documented
types: subclasses of str and bytes, path-like records with their own methods,
iterables that fail part-way, and objects whose special methods raise or
return the wrong type.
"""

import dataclasses
import faulthandler
import gc
import os
import pathlib
import pickle
import resource
import select
import signal
import tempfile
import time
import warnings

import pytest

# AddressSanitizer reserves terabytes of address space, so limits on it cannot work there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
TIMEOUT = 60.0 if UNDER_ASAN else 20.0

HUGE = 10**30
LONG = "x" * 200_000
NUL = "a\0b.md"
SURROGATE = "\ud800.md"


# ------------------------------------------------------------ the child


@dataclasses.dataclass
class Outcome:
    """What one call did: "returned" with a digest of the value, or "raised"
    with the exception's type name (and those of its bases); `text` is for
    messages only."""

    kind: str
    value: object
    text: str
    bases: tuple = ()

    @property
    def error(self):
        return self.value if self.kind == "raised" else None

    def raised(self, name):
        """Whether the call raised `name` or a subclass of it."""
        return name in self.bases

    def same_as(self, other):
        """The same result, or an exception of the same type."""
        return (self.kind, self.value) == (other.kind, other.value)


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
        fields = [digest(getattr(value, f.name), depth + 1) for f in dataclasses.fields(value)]
        return ("record", kind.__name__, fields)
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
        value = digest(result)
        text = short(repr(result))
    except BaseException as error:
        value, text = ("undigestable", type(result).__qualname__), f"(repr raised {type(error).__name__})"
    del result
    return Outcome("returned", value, text)


def child(calls, before, report_fd, stderr_fd):
    os.dup2(stderr_fd, 2)
    faulthandler.enable(2)  # a crash's Python stack goes to the report as well
    outcomes = []
    try:
        if before is not None:
            before()
        for call in calls:
            outcomes.append(outcome_of(call))
            gc.collect(0)  # a crash while freeing what the call made is still this call's
        payload = pickle.dumps(outcomes)
    except BaseException as error:
        payload = pickle.dumps(f"the harness itself failed: {error!r}")
    view = memoryview(payload)
    while view:
        view = view[os.write(report_fd, view):]
    os._exit(0)


def describe(status):
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        return f"killed by {signal.Signals(number).name}"
    return f"exited with status {os.WEXITSTATUS(status)} before reporting"


def run(*calls, before=None, timeout=TIMEOUT):
    """Runs `calls` one after the other in a forked child, `before` first;
    returns their outcomes, and fails the test unless the child exits
    normally within `timeout` seconds."""
    with tempfile.TemporaryFile() as stderr:
        report_read, report_write = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads on 3.12+
            pid = os.fork()
        if pid == 0:
            os.close(report_read)
            child(calls, before, report_write, stderr.fileno())
        os.close(report_write)
        chunks, deadline, hung = [], time.monotonic() + timeout, False
        try:
            while True:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    hung = True
                    os.kill(pid, signal.SIGKILL)
                    break
                if select.select([report_read], [], [], remaining)[0]:
                    chunk = os.read(report_read, 1 << 16)
                    if not chunk:
                        break
                    chunks.append(chunk)
        finally:
            os.close(report_read)
            status = os.waitpid(pid, 0)[1]
        stderr.seek(0)
        errors = stderr.read().decode(errors="replace")
    if hung:
        pytest.fail(f"the call hung for more than {timeout:.0f} s\n{errors[-3000:]}")
    if not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 and chunks):
        pytest.fail(f"the child {describe(status)}\n{errors[-3000:]}")
    outcomes = pickle.loads(b"".join(chunks))
    if isinstance(outcomes, str):
        pytest.fail(outcomes)
    return outcomes


def run_one(call, **options):
    return run(call, **options)[0]


def assert_same(native, documented):
    assert native.same_as(documented), f"native: {native.text}\ndocumented steps: {documented.text}"


# ----------------------------------------------------------- exhaustion


def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def limit_address_space(headroom):
    """Lets the process map at most `headroom` bytes more than it has now."""

    def before():
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + headroom, hard))

    return before


def no_descriptors_left():
    """Every new file descriptor fails with EMFILE."""
    lowest_free = os.open(os.devnull, os.O_RDONLY)
    os.close(lowest_free)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, hard))


needs_address_limits = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer needs an unlimited address space")
# The sanitizers' own checks open pipes (to probe memory), and fail without descriptors.
needs_descriptor_limits = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizers need file descriptors of their own")


# ------------------------------------------------------- hostile objects


class Failure(Exception):
    """Raised by the hostile objects below, so tests can tell it from others."""


def fail(*args, **kwargs):
    raise Failure("hostile")


def raising(error):
    """A function that raises `error` whatever it is given."""

    def raise_it(*args, **kwargs):
        raise error

    return raise_it


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class LyingStr(str):
    """A str whose methods and comparisons misbehave."""

    def lower(self):
        return 5

    def __eq__(self, other):
        raise Failure("__eq__")

    def __hash__(self):
        raise Failure("__hash__")

    def startswith(self, *args):
        raise Failure("startswith")


class FsPath:
    """os.PathLike with a __fspath__ that returns `value`, or raises when `value` is Failure."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if self.value is Failure:
            raise Failure("__fspath__")
        return self.value


class BadBool:
    def __bool__(self):
        raise Failure("__bool__")


class WrongBool:
    def __bool__(self):
        return "yes"


class BadIndex:
    def __index__(self):
        raise Failure("__index__")


class WrongIndex:
    def __index__(self):
        return "1"


class BadCompare:
    """A number-like value every comparison of which raises."""

    def __lt__(self, other):
        raise Failure("<")

    __le__ = __gt__ = __ge__ = __eq__ = __ne__ = __lt__
    __hash__ = object.__hash__


class BadHash:
    def __hash__(self):
        raise Failure("__hash__")

    def __eq__(self, other):
        raise Failure("__eq__")


class PartlyIterable:
    """Yields `items`, then raises."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        yield from self.items
        raise Failure("iteration")


class RaisingContainer:
    """A container whose membership test, iteration and length raise."""

    def __contains__(self, item):
        raise Failure("__contains__")

    def __iter__(self):
        raise Failure("__iter__")

    def __len__(self):
        raise Failure("__len__")


class Record:
    """An object with the given attributes; a callable given for a method name
    serves as that method."""

    def __init__(self, **members):
        for name, value in members.items():
            setattr(self, name, value)

    def __repr__(self):
        return "Record()"


class PathRecord:
    """A path-like record that is not a pathlib.Path: it answers as `path`
    does, except for the members given (a callable given for a method name
    serves as that method)."""

    def __init__(self, path, **members):
        self._path, self._members = path, members

    def __getattr__(self, name):
        if name in self._members:
            return self._members[name]
        return getattr(self._path, name)

    def __fspath__(self):
        return self.__getattr__("__fspath__")()

    def __str__(self):
        return self.__getattr__("__str__")()

    def __truediv__(self, other):
        return self.__getattr__("__truediv__")(other)

    def __repr__(self):
        return f"PathRecord({self._path!r})"


def returning(value):
    return lambda *args, **kwargs: value


def stat_like(**fields):
    """An os.stat_result stand-in with the given st_* fields."""
    values = {"st_size": 3, "st_mtime": 1.5, "st_mtime_ns": 1_500_000_000, "st_mode": 0o100644, "st_ino": 1,
              "st_dev": 1}
    values.update(fields)
    return Record(**values)


def host_path_class(**methods):
    """A pathlib.Path subclass whose named methods are replaced."""
    return type("HostPath", (type(pathlib.Path()),), {name: method for name, method in methods.items()})
