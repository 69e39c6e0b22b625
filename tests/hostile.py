"""Hostile input: what a host may pass instead of the documented types.

Huge values, NUL and lone surrogates; subclasses of str and bytes; path-like
records and pathlib.Path subclasses whose members misbehave; iterables that
fail part-way; and objects whose special methods raise or return the wrong
type. What they raise is `Failure`, so a test can tell it from the rest.
"""

import pathlib

HUGE = 10**30
LONG = "x" * 200_000
NUL = "a\0b.md"
SURROGATE = "\ud800.md"


class Failure(Exception):
    """Raised by the hostile objects below, so tests can tell it from others."""


def fail(*args, **kwargs):
    raise Failure("hostile")


def raising(error):
    """A function that raises `error` whatever it is given."""

    def raise_it(*args, **kwargs):
        raise error

    return raise_it


def returning(value):
    return lambda *args, **kwargs: value


def raising_all(*names):
    """Class members `names`, each raising Failure."""
    return dict.fromkeys(names, fail)


StrSub = type("StrSub", (str,), {})
BytesSub = type("BytesSub", (bytes,), {})
# A str whose methods and comparisons misbehave.
LyingStr = type("LyingStr", (str,), {"lower": returning(5), **raising_all("__eq__", "__hash__", "startswith")})
BadBool = type("BadBool", (), raising_all("__bool__"))
WrongBool = type("WrongBool", (), {"__bool__": returning("yes")})
BadIndex = type("BadIndex", (), raising_all("__index__"))
WrongIndex = type("WrongIndex", (), {"__index__": returning("1")})
# A number-like value every comparison of which raises.
BadCompare = type(
    "BadCompare",
    (),
    {**raising_all("__lt__", "__le__", "__gt__", "__ge__", "__eq__", "__ne__"), "__hash__": object.__hash__},
)
BadHash = type("BadHash", (), raising_all("__hash__", "__eq__"))
# A container whose membership test, iteration and length raise.
RaisingContainer = type("RaisingContainer", (), raising_all("__contains__", "__iter__", "__len__"))


class FsPath:
    """os.PathLike with a __fspath__ that returns `value`, or raises it when it is Failure or
    an exception."""

    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if self.value is Failure or isinstance(self.value, BaseException):
            raise self.value
        return self.value


class PartlyIterable:
    """Yields `items`, then raises."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        yield from self.items
        raise Failure("iteration")


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


def stat_like(**fields):
    """An os.stat_result stand-in with the given st_* fields."""
    values = {
        "st_size": 3,
        "st_mtime": 1.5,
        "st_mtime_ns": 1_500_000_000,
        "st_mode": 0o100644,
        "st_ino": 1,
        "st_dev": 1,
    }
    return Record(**{**values, **fields})


def host_path_class(**methods):
    """A pathlib.Path subclass whose named methods are replaced."""
    return type("HostPath", (type(pathlib.Path()),), methods)
