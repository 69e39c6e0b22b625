"""Hostile input for the document store: every public function and method
with wrong types, host objects, huge values, NUL and lone surrogates, lists
with hostile entries, hostile values for the rebindable names, and memory and
file descriptors running out; each call in a forked child where it must end
normally. Where a call takes a host object it must also give, on CPython
3.10, what the documented steps (reference/) give with the same object: the
same result, or an exception of the same type. Host objects whose answers
the documents fix on every interpreter are checked against those answers."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import types
from pathlib import Path, PurePosixPath

import forked
import pytest
import releases
from forked import SAME
from hostile import (
    HUGE,
    LONG,
    NUL,
    SURROGATE,
    BadBool,
    BadCompare,
    BadHash,
    BadIndex,
    BytesSub,
    Failure,
    FsPath,
    LyingStr,
    PartlyIterable,
    PathRecord,
    RaisingContainer,
    Record,
    StrSub,
    WrongBool,
    WrongIndex,
    fail,
    host_path_class,
    raising,
    returning,
    stat_like,
)

from reference import documents, listing, lists, quick_open
from tidewing_quillery import pagecase

MTIME = 1_700_000_000


class Documented:
    """The reference versions under the module's names. Rebinding a name here
    rebinds it in every reference module that binds it, as rebinding it on
    the native module changes every later call there."""

    modules = (documents, lists, quick_open, listing)

    def __getattr__(self, name):
        for module in self.modules:
            if hasattr(module, name):
                return getattr(module, name)
        raise AttributeError(name)

    def __setattr__(self, name, value):
        holders = [module for module in self.modules if hasattr(module, name)]
        if not holders:
            raise AttributeError(name)
        for module in holders:
            setattr(module, name, value)


DOCUMENTED = Documented()


class Place:
    """A small tree and a state folder, made afresh (with fixed times) before
    each call, so that the native call and the documented steps start from
    the same files."""

    def __init__(self, base):
        self.base = base
        self.root = base / "docs"
        self.doc = self.root / "a.md"
        self.image = self.root / "img.png"
        self.state = base / "state"

    def reset(self):
        shutil.rmtree(self.base, ignore_errors=True)
        folders = [self.root / "sub", self.root / ".hidden", self.root / "node_modules", self.state]
        for folder in folders:
            folder.mkdir(parents=True)
        self.doc.write_text("# Title\nbody\n")
        (self.root / "sub" / "b.md").write_text("# B\n")
        self.image.write_bytes(b"png")
        listed = f'[{{"path": "{self.doc}", "name": "a.md", "opened_at": 1.0}}, {{"path": "/gone.md"}}]'
        for name in ("recent.json", "favorites.json", "workspaces.json"):
            (self.state / name).write_text(listed)
        for path in (self.doc, self.image, self.root / "sub" / "b.md", *folders, self.root, self.base):
            os.utime(path, (MTIME, MTIME))
        os.environ["TIDEWING_MD_STATE_DIR"] = str(self.state)


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    # Remade before every call: in memory where the system offers a tmpfs.
    memory = Path("/dev/shm")
    if memory.is_dir() and os.access(memory, os.W_OK):
        base = Path(tempfile.mkdtemp(prefix="tidewing-hostile-", dir=memory))
    else:
        base = tmp_path_factory.mktemp("hostile")
    yield Place(base / "place")
    shutil.rmtree(base, ignore_errors=True)


def pinned_clock():
    """The lists' clock, pinned on both sides so that their entries compare."""
    clock = types.SimpleNamespace(time=lambda: 1000.0)
    pagecase.time = clock
    DOCUMENTED.time = clock


# The documented steps are those of CPython 3.10's pathlib, whose outcomes the
# module keeps on every interpreter (releases.py); the reference runs on the
# interpreter at hand, so it is the oracle on 3.10 only.
ORACLE_HERE = releases.RELEASE == (3, 10)


CASES = forked.Cases()


def on_the_tree(call, oracle=True):
    """A case of `call(module, at)` on the tree made afresh: natively and,
    where the documented steps are its oracle, through them too."""
    modules = [pagecase, DOCUMENTED] if oracle and ORACLE_HERE else [pagecase]
    return tuple((lambda at, m=m: (at.reset(), call(m, at))[1]) for m in modules), SAME


@pytest.fixture(scope="module")
def outcomes(request, place):
    return CASES.run(request, place, before=pinned_clock, isolate=[pagecase, *Documented.modules])


# --------------------------------------------------------------- paths

# Where a pathlib.Path is documented (`at` is the Place): a wrong type, a huge
# value, a path-like record that behaves, and paths the module refuses as it
# refuses such texts (so only a normal exit counts for those).
PATHS = {
    "None": lambda at: None,
    "huge int": lambda at: HUGE,
    "record": lambda at: PathRecord(at.doc),
    "path of 200k characters": lambda at: at.root / LONG,
    "path with NUL": lambda at: at.root / NUL,
    "path with surrogate": lambda at: at.root / SURROGATE,
}
REFUSED_PATHS = {"path of 200k characters", "path with NUL", "path with surrogate"}


def record(**members):
    return lambda at: PathRecord(at.doc, **members)


def subclass(of="doc", **methods):
    return lambda at: host_path_class(**methods)(getattr(at, of))


class StrictDecodeFails(bytearray):
    def decode(self, encoding, errors="strict"):
        if errors == "strict":
            raise UnicodeDecodeError("utf-8", b"", 0, 1, "made up")
        return "\ufeffreplaced"


OwnDecode = type("OwnDecode", (bytes,), {"decode": lambda self, *args, **options: f"decoded {args} {options}"})
AlwaysStarts = type("AlwaysStarts", (str,), {"startswith": returning(True)})
DecodesToSubclass = type("DecodesToSubclass", (bytes,), {"decode": returning(AlwaysStarts("xyz"))})


STAT_LIES = {
    "record stat raises": record(stat=fail),
    "record stat raises FileNotFoundError": record(stat=raising(FileNotFoundError())),
    "record stat None": record(stat=returning(None)),
    "record st_mtime str": record(stat=returning(stat_like(st_mtime="x"))),
    "Path subclass stat raises": subclass(stat=fail),
}

# Host objects whose own members misbehave, by the member; each goes to the
# calls whose documented steps use that member.
MEMBERS = {
    "stat": STAT_LIES,
    "stat and its size": {
        **STAT_LIES,
        "record st_size str": record(stat=returning(stat_like(st_size="3"))),
        "record st_size huge": record(stat=returning(stat_like(st_size=HUGE))),
        "record st_size negative": record(stat=returning(stat_like(st_size=-HUGE))),
        "record st_size uncomparable": record(stat=returning(stat_like(st_size=BadCompare()))),
    },
    "read_bytes": {
        "record read_bytes bytearray": record(read_bytes=returning(bytearray(b"\xef\xbb\xbf# T \xff"))),
        "record read_bytes bytes subclass": record(read_bytes=returning(BytesSub(b"# B"))),
        "record read_bytes with its own decode": record(read_bytes=returning(OwnDecode(b"x"))),
        "record read_bytes whose strict decode fails": record(read_bytes=returning(StrictDecodeFails(b"x"))),
        "record read_bytes decoding to a str subclass": record(read_bytes=returning(DecodesToSubclass(b"x"))),
        "record read_bytes memoryview": record(read_bytes=returning(memoryview(b"x"))),
        "record read_bytes str": record(read_bytes=returning("# B")),
        "record read_bytes None": record(read_bytes=returning(None)),
        "record read_bytes int": record(read_bytes=returning(5)),
        "record read_bytes raises": record(read_bytes=fail),
        "record read_bytes raises PermissionError": record(read_bytes=raising(PermissionError())),
    },
    "resolve": {
        "record resolve str": lambda at: PathRecord(at.root, resolve=returning(str(at.root))),
        "record resolve raises": lambda at: PathRecord(at.root, resolve=fail),
        "Path subclass resolve str": lambda at: host_path_class(resolve=returning(str(at.root)))(at.root),
        "Path subclass resolve elsewhere": lambda at: host_path_class(resolve=lambda self: at.root / "sub")(at.doc),
    },
    "is_file": {"Path subclass is_file raises": subclass(is_file=fail)},
    "is_dir": {"Path subclass is_dir false": subclass("root", is_dir=returning(False))},
    "text": {"record str raises": record(__str__=fail), "record name int": record(name=5)},
    "parent": {"record parent str": lambda at: PathRecord(at.doc, parent=str(at.root))},
    "suffix": {"record suffix int": record(suffix=5)},
    "write_text": {
        "record write_text raises": record(write_text=fail),
        "record write_text raises OSError": record(write_text=raising(PermissionError(13, "Permission denied"))),
    },
}


def workspaces(m, at):
    return m.Workspaces(at.state / "w.json", [{"path": str(at.root)}, {"path": str(at.base)}])


# One call per place a documented pathlib.Path goes, with the members its
# documented steps use; `p` is the value under test.
PATH_SLOTS = {
    "contain(root)": (lambda m, at, p: m.contain(p, "sub/b.md"), ["resolve"]),
    "is_markdown": (lambda m, at, p: m.is_markdown(p), ["suffix"]),
    "resolve_asset(document)": (lambda m, at, p: m.resolve_asset(p, "img.png"), ["parent", "is_file"]),
    "read_document": (lambda m, at, p: m.read_document(p), ["stat and its size", "read_bytes"]),
    "stat_signature": (lambda m, at, p: m.stat_signature(p), ["stat"]),
    "RecentFiles.add": (lambda m, at, p: (r := m.RecentFiles.load(), r.add(p), r.entries)[2], ["text"]),
    "Favorites.toggle": (lambda m, at, p: (f := m.Favorites.load(), f.toggle(p), f.entries)[1:], ["text"]),
    "Workspaces.owning_root": (lambda m, at, p: workspaces(m, at).owning_root(p), ["text"]),
    "PathList.remove": (lambda m, at, p: (f := m.Favorites.load(), f.remove(p), f.entries)[2], ["text"]),
    "PathList(path).save": (lambda m, at, p: m.PathList(p, [{"path": "/a.md"}]).save(), ["write_text"]),
    "list_folder(root)": (lambda m, at, p: m.list_folder(p), ["resolve", "is_dir"]),
    "scan_markdown": (lambda m, at, p: m.scan_markdown([p]), ["resolve"]),
}


for slot, (call, members) in PATH_SLOTS.items():
    given = [(value, make, value not in REFUSED_PATHS) for value, make in PATHS.items()]
    given += [(value, make, True) for member in members for value, make in MEMBERS[member].items()]
    CASES.add(
        {
            f"{slot}-{value}": on_the_tree(lambda m, at, c=call, v=make: c(m, at, v(at)), oracle)
            for value, make, oracle in given
        }
    )


# --------------------------------------------------------------- texts

# Where a str is documented. The texts the module refuses although pathlib
# would raise (NUL, lone surrogates, names longer than the system allows) only
# have to end normally.
TEXTS = {
    "None": None,
    "bytes": b"a.md",
    "str subclass": StrSub("a.md"),
    "lying str": LyingStr("a.md"),
    "fspath raises": FsPath(Failure),
    "fspath int": FsPath(5),
    "bad bool": BadBool(),
    "tilde and 200k": "~" + LONG,
    "200k characters": LONG,
    "NUL": NUL,
    "surrogate": SURROGATE,
}
REFUSED_TEXTS = {"200k characters", "NUL", "surrogate"}
EVERY_TEXT = list(TEXTS)
AS_A_PATH = ["None", "str subclass", "fspath raises", "fspath int", "bad bool", "200k characters", "NUL", "surrogate"]
AS_A_STR = ["None", "bytes", "str subclass", "lying str", "200k characters", "NUL", "surrogate"]

# One call per place a documented str goes, with the texts that reach the
# operations of its documented steps; `t` is the value under test.
TEXT_SLOTS = {
    "contain(raw)": (lambda m, at, t: m.contain(at.root, t), EVERY_TEXT),
    "resolve_document": (lambda m, at, t: m.resolve_document(t), EVERY_TEXT),
    "resolve_asset(raw)": (lambda m, at, t: m.resolve_asset(at.doc, t), AS_A_PATH),
    "list_folder(subpath)": (lambda m, at, t: m.list_folder(at.root, t), AS_A_PATH),
    "browse_directories": (lambda m, at, t: m.browse_directories(t), AS_A_PATH),
    "fuzzy_score(query)": (lambda m, at, t: m.fuzzy_score(t, "a.md"), AS_A_STR),
    "fuzzy_score(candidate)": (lambda m, at, t: m.fuzzy_score("a", t), AS_A_STR),
    "search_markdown(query)": (lambda m, at, t: m.search_markdown([at.root], t), ["None", "lying str", "bad bool"]),
    "PathList._load(filename)": (lambda m, at, t: m.PathList._load(t, None).entries, AS_A_PATH),
    "_interesting(entry.name)": (lambda m, at, t: m._interesting(Record(name=t)), ["None", "lying str", "surrogate"]),
}


for slot, (call, values) in TEXT_SLOTS.items():
    CASES.add(
        {
            f"{slot}-{value}": on_the_tree(
                lambda m, at, c=call, v=TEXTS[value]: c(m, at, v), value not in REFUSED_TEXTS
            )
            for value in values
        }
    )


# --------------------------------------------------- entries and others


def self_referencing():
    entries = [{"path": "/a.md"}]
    entries[0]["x"] = entries
    return entries


# Entries a host may have put into a list's `entries`, made afresh for each call.
ENTRIES = {
    "path unhashable and uncomparable": lambda: [{"path": BadHash()}],
    "path lying str": lambda: [{"path": LyingStr("/a.md")}],
    "path bytes": lambda: [{"path": b"/a.md"}],
    "path huge": lambda: [{"path": HUGE}],
    "path NUL": lambda: [{"path": NUL}],
    "path surrogate": lambda: [{"path": SURROGATE}],
    "path 200k characters": lambda: [{"path": "/" + LONG}],
    "no path": lambda: [{"name": "x"}],
    "not a dict": lambda: [5, None],
    "dict subclass whose get raises": lambda: [type("Entry", (dict,), {"get": fail})(path="/a.md")],
    "partly iterable": lambda: PartlyIterable([{"path": "/a.md"}]),
    "not iterable": lambda: 5,
    "set in an entry": lambda: [{"path": "/a.md", "x": {1}}],
    "self-referencing": self_referencing,
}

# One call per operation on a list; `e` is the entries under test.
ENTRY_SLOTS = {
    "PathList.contains": lambda m, at, e: m.PathList(at.state / "l.json", e).contains(at.doc),
    "PathList.prune": lambda m, at, e: m.PathList(at.state / "l.json", e).prune(),
    "PathList.save": lambda m, at, e: m.PathList(at.state / "l.json", e).save(),
    "RecentFiles.add": lambda m, at, e: m.RecentFiles(at.state / "r.json", e).add(at.doc),
    "Favorites.toggle": lambda m, at, e: m.Favorites(at.state / "f.json", e).toggle(at.doc),
}
# Surrogates cannot be written as UTF-8: the module refuses the save instead
# of writing half a file, so only a normal exit counts there.
UNWRITABLE_ENTRIES = {"path surrogate"}


# Each operation on each kind of entries gives what the call returned and the entries afterwards.
CASES.add(
    {
        f"{slot}-{value}": on_the_tree(
            lambda m, at, c=call, e=make: (c(m, at, entries := e()), entries), value not in UNWRITABLE_ENTRIES
        )
        for slot, call in ENTRY_SLOTS.items()
        for value, make in ENTRIES.items()
    }
)


NUMBERS = {
    "None": None,
    "huge": HUGE,
    "nan": float("nan"),
    "str": "3",
    "bad index": BadIndex(),
    "uncomparable": BadCompare(),
}
TRUTHS = {"bad bool": BadBool(), "wrong bool": WrongBool()}

OTHER_CALLS = {
    **{
        f"search_markdown(limit={name})": (lambda v: lambda m, at: m.search_markdown([at.root], "b", v))(value)
        for name, value in {**NUMBERS, "minus huge": -HUGE, "wrong index": WrongIndex()}.items()
    },
    **{
        f"browse_directories(include_files={name})": (lambda v: lambda m, at: m.browse_directories(str(at.root), v))(
            value
        )
        for name, value in TRUTHS.items()
    },
    **{
        f"access_token(rotate={name})": (lambda v: lambda m, at: len(m.access_token(v)))(value)
        for name, value in TRUTHS.items()
    },
    **{
        f"prune(check={name})": (lambda v: lambda m, at: m.Favorites.load().prune(v))(value)
        for name, value in {"raises": fail, "returns bad bool": returning(BadBool()), "None": None}.items()
    },
    "PathList._load(limit=huge)": lambda m, at: m.PathList._load("favorites.json", HUGE),
    "PathList(too many arguments)": lambda m, at: m.PathList(1, 2, 3, 4),
    "Workspaces.roots of odd entries": lambda m, at: m.Workspaces(
        at.state / "w.json", [{"path": NUL}, {"path": 5}, {"path": "/" + LONG}]
    ).roots(),
    "Document of host objects": lambda m, at: m.Document(BadHash(), LyingStr("# x"), HUGE, -HUGE).as_payload(),
    "Document.title of a lying str": lambda m, at: m.Document(at.doc, LyingStr("# x\n"), 0.0, 0).title,
    "Document.title of bytes": lambda m, at: m.Document(at.doc, b"# x\n", 0.0, 0).title,
    "Document.title after 200k lines": lambda m, at: m.Document(at.doc, "\n" * 200_000 + "# x", 0.0, 0).title,
    "Document.as_payload of a record": lambda m, at: m.Document(PathRecord(at.doc, name=5), "", 0.0, 0).as_payload(),
    "hash(Document) of an unhashable path": lambda m, at: hash(m.Document(BadHash(), "", 0.0, 0)),
    "scan_markdown(partly iterable)": lambda m, at: m.scan_markdown(PartlyIterable([at.root])),
    "scan_markdown(None)": lambda m, at: m.scan_markdown(None),
    "scan_markdown(raising container)": lambda m, at: m.scan_markdown(RaisingContainer()),
    "_interesting(None)": lambda m, at: m._interesting(None),
    "_interesting(name raises)": lambda m, at: m._interesting(type("Entry", (), {"name": property(fail)})()),
    "fuzzy_score of 200k characters": lambda m, at: m.fuzzy_score("x" * 100_000, LONG),
    "contain(raw) of 10,000 parents": lambda m, at: m.contain(at.root, "../" * 10_000 + str(at.doc)),
}


CASES.add({name: on_the_tree(call) for name, call in OTHER_CALLS.items()})


# ------------------------------------------------------- rebound names

# What the calls that read each rebindable name do.
USES = {
    "read": lambda m, at: m.read_document(at.doc),
    "resolve": lambda m, at: (m.resolve_document(str(at.doc)), m.resolve_asset(at.doc, "img.png")),
    "recent": lambda m, at: (r := m.RecentFiles.load(), r.add(at.doc), r.prune(), r.entries)[3],
    "lists": lambda m, at: (f := m.Favorites.load(), f.toggle(at.image), m.Workspaces.load().roots())[2],
    "token": lambda m, at: len(m.access_token()),
    "scan": lambda m, at: (m.scan_markdown([at.root]), m.search_markdown([at.root], "")),
    "listing": lambda m, at: (m.list_folder(at.root), m.browse_directories(str(at.root), True)),
}
CONTAINERS = {"None": None, "raising container": RaisingContainer()}

# Hostile values for each rebindable name, and the uses that read it.
REBINDINGS = {
    "MARKDOWN_SUFFIXES": ({**CONTAINERS, "str": ".md.mkd"}, ["resolve", "scan", "listing"]),
    "ASSET_SUFFIXES": (CONTAINERS, ["resolve"]),
    "SKIP_DIRS": ({**CONTAINERS, "str": "node_modules"}, ["scan", "listing"]),
    "MAX_DOCUMENT_BYTES": (NUMBERS, ["read"]),
    "MAX_SCAN_FILES": (NUMBERS, ["scan"]),
    "MAX_SCAN_DEPTH": (NUMBERS, ["scan"]),
    "_RECENT_LIMIT": (NUMBERS, ["recent"]),
    "Path": ({"raises": fail, "returns a str": str}, list(USES)),
    "os": (
        {
            "scandir and walk raise": types.SimpleNamespace(
                scandir=fail, walk=fail, environ=os.environ, path=os.path, fspath=os.fspath
            ),
            "environ holds bytes": types.SimpleNamespace(environ={"TIDEWING_MD_STATE_DIR": BytesSub(b"/x")}),
        },
        ["token", "scan", "listing"],
    ),
    "json": (
        {
            "dumps returns bytes": types.SimpleNamespace(dumps=returning(b"[]"), loads=fail),
            "loads returns a raising iterable": types.SimpleNamespace(loads=returning(PartlyIterable([])), dumps=fail),
        },
        ["recent", "lists"],
    ),
    "time": (
        {
            "time returns a str": types.SimpleNamespace(time=returning("now")),
            "time raises": types.SimpleNamespace(time=fail),
        },
        ["recent", "lists"],
    ),
}


CASES.add(
    {
        f"{name}={label}-{use}": on_the_tree(
            lambda m, at, n=name, v=value, u=use: (setattr(m, n, v), USES[u](m, at))[1], oracle=False
        )
        for name, (values, uses) in REBINDINGS.items()
        for label, value in values.items()
        for use in uses
    }
)


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_call(outcomes, case):
    CASES.check(outcomes, case)


# ------------------------------------------------ answers on every interpreter


class ShownAs(str):
    """A str subclass whose str() is other text: CPython 3.10's pathlib parses str(raw)."""

    def __new__(cls, value, shown):
        text = super().__new__(cls, value)
        text.shown = shown
        return text

    def __str__(self):
        return self.shown


@pytest.fixture
def docs(tmp_path):
    root = tmp_path / "docs"
    (root / "sub").mkdir(parents=True)
    (root / "a.md").write_text("# a")
    (root / "sub" / "b.md").write_text("# b")
    return root


# Each call that takes an outside path, with what it answers for the text "sub".
OUTSIDE_PATH_CALLS = {
    "contain": (lambda docs, raw: pagecase.contain(docs, raw), lambda docs: docs / "sub"),
    "resolve_document": (lambda docs, raw: pagecase.resolve_document(raw), lambda docs: None),  # a folder
    "list_folder": (
        lambda docs, raw: (pagecase.list_folder(docs, raw) or {}).get("path"),
        lambda docs: str(docs / "sub"),
    ),
    "browse_directories": (
        lambda docs, raw: (pagecase.browse_directories(raw) or {}).get("path"),
        lambda docs: str(docs / "sub"),
    ),
}


@pytest.mark.parametrize("call", OUTSIDE_PATH_CALLS)
@pytest.mark.parametrize("rebound", [False, True])
def test_outside_paths_of_other_types(docs, monkeypatch, call, rebound):
    monkeypatch.chdir(docs)
    if rebound:  # the documented steps through the module's current Path
        monkeypatch.setattr(pagecase, "Path", host_path_class())
    run, answer = OUTSIDE_PATH_CALLS[call]
    assert run(docs, FsPath("sub")) == run(docs, PurePosixPath("sub")) == answer(docs)
    # Path(raw) is a guarded step: OSError and RuntimeError refuse, anything else reaches the caller.
    assert run(docs, FsPath(OSError(5, "Input/output error"))) is run(docs, FsPath(RuntimeError("gone"))) is None
    for raw, error in [(FsPath(Failure), Failure), (FsPath(b"sub"), TypeError), (BadBool(), Failure)]:
        with pytest.raises(error):
            run(docs, raw)
    if releases.PATH_TAKES_STR_OF_STR_SUBCLASSES or not rebound:
        assert run(docs, ShownAs("elsewhere", "sub")) == run(docs, FsPath(ShownAs("elsewhere", "sub"))) == answer(docs)


def test_pruning_takes_a_str_subclass_as_path_does(docs):
    """CPython 3.10's Path(text) parses str(text); the native pruning keeps that on every interpreter."""
    entries = [{"path": ShownAs(str(docs / "a.md"), str(docs / "gone"))}]
    assert pagecase.RecentFiles(docs / "r.json", entries).prune() == []


def test_a_root_record_resolving_to_a_pure_path_is_walked_with_os_walk(docs, documented, both_paths):
    record = types.SimpleNamespace(resolve=lambda: PurePosixPath(docs))
    assert pagecase.scan_markdown([record]) == documented.scan_markdown([docs])


def test_fuzzy_score_of_str_subclasses_uses_their_own_lower(documented, both_paths):
    lowered = type("Lowered", (str,), {"lower": lambda self: "b"})
    assert pagecase.fuzzy_score(lowered("q"), "x_b") == documented.fuzzy_score(lowered("q"), "x_b") == 8
    assert pagecase.fuzzy_score("b", lowered("zzz")) == documented.fuzzy_score("b", lowered("zzz")) == 8


def test_interesting_reads_the_name_for_each_test():
    class Entry:
        reads = 0

        @property
        def name(self):
            Entry.reads += 1
            return "docs" if Entry.reads == 1 else "node_modules"

    assert pagecase._interesting(Entry()) is False and Entry.reads == 2
    assert pagecase._interesting(Record(name=AlwaysStarts("docs"))) is False
    with pytest.raises(PermissionError):
        pagecase._interesting(type("Entry", (), {"name": property(raising(PermissionError("no name")))})())


# ------------------------------------------------------------ exhaustion


def in_place(place, prepare, limit=None):
    """A `before` for the child: the tree, then `prepare(place)`, then `limit()`."""

    def before():
        place.reset()
        prepare(place)
        if limit is not None:
            limit()

    return before


STATE_FILES = {
    "recent.json": lambda: pagecase.RecentFiles.load().entries,
    "favorites.json": lambda: pagecase.Favorites.load().entries,
    "workspaces.json": lambda: pagecase.Workspaces.load().entries,
    "access_token": pagecase.access_token,
}
STATE_FILE_CAP = 16 << 20
LISTED = [{"path": "/docs/new.md", "name": "new.md", "opened_at": 1.5}]


def padded_to(size):
    """The text at the end of `size` bytes, so that only a whole read finds it."""
    return lambda path, text: path.write_text(" " * (size - len(text)) + text)


# How a state file is left, given its text; each but the first counts as damaged.
STATE_FILE_KINDS = {
    "of 16 MiB": padded_to(STATE_FILE_CAP),
    "a byte over 16 MiB": padded_to(STATE_FILE_CAP + 1),
    "fifo": lambda path, text: os.mkfifo(path),
    "device": lambda path, text: path.symlink_to("/dev/zero"),
    "folder": lambda path, text: path.mkdir(),
}


# Only the native reads bound what they read and refuse a FIFO or a device unread.
NATIVE_ONLY_KINDS = {"a byte over 16 MiB", "fifo", "device"}


def state_file_kind(kind):
    marks = [forked.needs_address_limits] if kind == "device" else []
    return pytest.param(kind, marks=marks + [pytest.mark.native_fs] * (kind in NATIVE_ONLY_KINDS))


@pytest.mark.parametrize("kind", [state_file_kind(kind) for kind in STATE_FILE_KINDS])
def test_damaged_state_files(place, kind):
    """The lists load as empty and a new token replaces the old, without waiting for a FIFO's
    writer or reading a device, even one the memory left could not hold."""

    def prepare(at):
        for name in STATE_FILES:
            (at.state / name).unlink(missing_ok=True)
            STATE_FILE_KINDS[kind](at.state / name, "stored-token" if name == "access_token" else json.dumps(LISTED))

    limit = forked.limit_address_space(512 << 20) if kind == "device" else None
    *lists, token = forked.run(*STATE_FILES.values(), before=in_place(place, prepare, limit))
    if kind == "of 16 MiB":
        assert [outcome.text for outcome in lists] == [repr(LISTED)] * 3 and token.value == "stored-token"
        return
    assert [outcome.value for outcome in lists] == [("list", [])] * 3, [outcome.text for outcome in lists]
    assert len(token.value) == 22, token.text
    if kind != "folder":
        stored = place.state / "access_token"
        assert stored.read_text() == token.value and not stored.is_symlink()


def sparse_document(at):
    path = at.root / "sparse.md"
    with open(path, "wb") as file:
        file.truncate(2 << 30)
    return path


# read_document with 512 MiB of address space left: the document, the
# MAX_DOCUMENT_BYTES it is read under, and the outcomes allowed. /dev/zero
# stats as empty and never ends: it is read up to the limit, or until memory
# runs out.
BEYOND_MEMORY = {
    "/dev/zero up to the limit": (lambda at: Path("/dev/zero"), 32 << 20, [None]),
    "/dev/zero beyond the memory left": (lambda at: Path("/dev/zero"), 10**12, ["MemoryError"]),
    "a sparse file of 2 GiB": (sparse_document, 10**12, ["MemoryError", None]),
}


@forked.needs_address_limits
@pytest.mark.parametrize(
    "source",
    [
        pytest.param(source, marks=pytest.mark.native_fs)  # a bounded read of a device
        if source == "/dev/zero up to the limit"
        else source
        for source in BEYOND_MEMORY
    ],
)
def test_reading_beyond_the_memory_left(place, source):
    make, limit, allowed = BEYOND_MEMORY[source]

    def read():
        pagecase.MAX_DOCUMENT_BYTES = limit  # in the child only
        return pagecase.read_document(make(place))

    outcome = forked.run_one(read, before=in_place(place, lambda at: None, forked.limit_address_space(512 << 20)))
    assert (outcome.error if outcome.kind == "raised" else outcome.value) in allowed, outcome.text


# Run in a process of its own: a fork of the test process would find the
# memory the walks need in the heap it inherits.
SHRINKING_MEMORY = """
import resource, sys
from pathlib import Path
from tidewing_quillery import pagecase
root = Path(sys.argv[1])
calls = [lambda: pagecase.scan_markdown([root]), lambda: pagecase.search_markdown([root], "n"),
         lambda: pagecase.list_folder(root, "wide"), lambda: pagecase.browse_directories(str(root / "wide"))]
calls[1]()  # everything loaded once
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
seen = set()
for headroom in range(0, 24 << 20, 1 << 20):
    resource.setrlimit(resource.RLIMIT_AS, (used + headroom, resource.RLIM_INFINITY))
    for call in calls:
        try:
            call()
            seen.add("result")
        except MemoryError:
            seen.add("MemoryError")
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(sorted(seen))
"""


@forked.needs_address_limits
def test_walks_and_listings_out_of_memory_raise_memory_error(tmp_path):
    wide = tmp_path / "wide"
    wide.mkdir()
    for k in range(3000):
        (wide / (f"{k:05}-" + "n" * 200 + ".md")).touch()
    for k in range(200):
        (tmp_path / f"d{k}").mkdir()
    done = subprocess.run(
        [sys.executable, "-c", SHRINKING_MEMORY, str(tmp_path)],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
        timeout=300,
    )
    assert done.returncode == 0 and done.stdout.split("\n")[0] == "['MemoryError', 'result']", done.stderr


DESCRIPTOR_USES = {
    "read_document": lambda at: pagecase.read_document(at.doc),
    "RecentFiles": lambda at: (r := pagecase.RecentFiles.load(), r.add(at.image), r.entries)[2],
    "access_token": lambda at: len(pagecase.access_token(rotate=True)),
    "list_folder": lambda at: pagecase.list_folder(at.root),
    "browse_directories": lambda at: pagecase.browse_directories(str(at.root)),
    "scan_markdown": lambda at: pagecase.scan_markdown([at.root]),
}


@forked.needs_descriptor_limits
@pytest.mark.parametrize("use", DESCRIPTOR_USES)
def test_out_of_file_descriptors(place, use):
    before = in_place(place, lambda at: None, forked.no_descriptors_left)
    forked.run_one(lambda: DESCRIPTOR_USES[use](place), before=before)


NESTED = "[" * 100_000 + "]" * 100_000
PARSES = []


def counted(function):
    def call(*args, **kwargs):
        PARSES.append(function.__name__)
        return function(*args, **kwargs)

    return call


# How the lists' text reaches json.loads: natively, through a json module the
# host rebound, and through a patched read_text.
NESTED_ROUTES = {
    "as loaded": (lambda: None, []),
    "json rebound": (
        lambda: setattr(pagecase, "json", types.SimpleNamespace(loads=counted(json.loads), dumps=json.dumps)),
        ["loads"] * 3,
    ),
    "read_text patched": (lambda: setattr(Path, "read_text", counted(Path.read_text)), ["read_text"] * 3),
}


@pytest.mark.parametrize("route", NESTED_ROUTES)
def test_list_files_nested_too_deeply_load_empty(place, route):
    rebind, parses = NESTED_ROUTES[route]

    def prepare(at):
        for name in ("recent.json", "favorites.json", "workspaces.json"):
            (at.state / name).write_text(NESTED)
        rebind()

    loads = [STATE_FILES[name] for name in ("recent.json", "favorites.json", "workspaces.json")]
    *lists, seen = forked.run(*loads, lambda: list(PARSES), before=in_place(place, prepare))
    assert [outcome.value for outcome in lists] == [("list", [])] * 3, [outcome.text for outcome in lists]
    assert seen.value == ("list", parses)
