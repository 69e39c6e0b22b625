"""Hostile input for the document store: every public function and method
with wrong types, host objects, huge values, NUL and lone surrogates, lists
with hostile entries, hostile values for the rebindable names, and memory and
file descriptors running out; each call in a forked child where it must end
normally. Where a call takes a host object it must also give, on CPython
3.10, what the documented steps (reference/) give with the same object: the
same result, or an exception of the same type."""

import os
import shutil
import sys
import tempfile
import types
from pathlib import Path

import pytest

import forked
from hostile import (HUGE, LONG, NUL, SURROGATE, BadBool, BadCompare, BadHash, BadIndex, BytesSub, Failure, FsPath,
                     LyingStr, PartlyIterable, PathRecord, RaisingContainer, Record, StrSub, WrongBool, WrongIndex,
                     fail, host_path_class, raising, returning, stat_like)
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
# module keeps on every interpreter; the reference runs on the interpreter at
# hand, so it is the oracle on 3.10 only.
ORACLE_HERE = sys.version_info[:2] == (3, 10)


def on(module, place, call):
    def run():
        place.reset()
        return call(module, place)

    return run


# Every case of this module by name: its call, a function of the module (the
# native one or the documented steps) and the Place, and whether the
# documented steps are its oracle. The tables below fill it.
CASES = forked.Cases()


@pytest.fixture(scope="module")
def outcomes(request, place):
    """The outcomes of this module's selected cases, each run natively and,
    where the documented steps are its oracle, through them as well."""
    cases = {}
    for name in forked.selected(request, "case"):
        call, oracle = CASES[name]
        implementations = [pagecase, DOCUMENTED] if oracle and ORACLE_HERE else [pagecase]
        cases[name] = tuple(on(module, place, call) for module in implementations)
    return forked.run_cases(cases, before=pinned_clock, isolate=[pagecase, *Documented.modules])


def check(result):
    """The case ended normally and, where it ran both ways, as the documented steps do."""
    outcomes = forked.outcomes_of(result)
    if len(outcomes) == 2:
        forked.assert_same(*outcomes)


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


STAT_LIES = {
    "record stat raises": record(stat=fail),
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
        "record read_bytes bytearray": record(read_bytes=returning(bytearray(b"# B"))),
        "record read_bytes bytes subclass": record(read_bytes=returning(BytesSub(b"# B"))),
        "record read_bytes str": record(read_bytes=returning("# B")),
        "record read_bytes None": record(read_bytes=returning(None)),
        "record read_bytes int": record(read_bytes=returning(5)),
        "record read_bytes raises": record(read_bytes=fail),
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


def path_cases():
    cases = {}
    for slot, (call, members) in PATH_SLOTS.items():
        values = [(value, make, value not in REFUSED_PATHS) for value, make in PATHS.items()]
        values += [(value, make, True) for member in members for value, make in MEMBERS[member].items()]
        for value, make, oracle in values:
            cases[f"{slot}-{value}"] = (lambda m, at, call=call, make=make: call(m, at, make(at)), oracle)
    return cases


@pytest.mark.parametrize("case", CASES.add(path_cases()))
def test_path_arguments(outcomes, case):
    check(outcomes[case])


# --------------------------------------------------------------- texts

# Where a str is documented. The texts the module refuses although pathlib
# would raise (NUL, lone surrogates, names longer than the system allows) only
# have to end normally.
TEXTS = {
    "None": None, "bytes": b"a.md", "str subclass": StrSub("a.md"), "lying str": LyingStr("a.md"),
    "fspath raises": FsPath(Failure), "fspath int": FsPath(5), "bad bool": BadBool(), "tilde and 200k": "~" + LONG,
    "200k characters": LONG, "NUL": NUL, "surrogate": SURROGATE,
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


def text_cases():
    cases = {}
    for slot, (call, values) in TEXT_SLOTS.items():
        for value in values:
            text = TEXTS[value]
            cases[f"{slot}-{value}"] = (lambda m, at, call=call, text=text: call(m, at, text),
                                        value not in REFUSED_TEXTS)
    return cases


@pytest.mark.parametrize("case", CASES.add(text_cases()))
def test_text_arguments(outcomes, case):
    check(outcomes[case])


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


def entry_cases():
    """Each operation on each kind of entries; a case gives what the call
    returned and the entries afterwards."""
    cases = {}
    for slot, call in ENTRY_SLOTS.items():
        for value, make in ENTRIES.items():
            def operate(m, at, call=call, make=make):
                entries = make()
                return call(m, at, entries), entries

            cases[f"{slot}-{value}"] = (operate, value not in UNWRITABLE_ENTRIES)
    return cases


@pytest.mark.parametrize("case", CASES.add(entry_cases()))
def test_list_entries(outcomes, case):
    check(outcomes[case])


NUMBERS = {"None": None, "huge": HUGE, "nan": float("nan"), "str": "3", "bad index": BadIndex(),
           "uncomparable": BadCompare()}
TRUTHS = {"bad bool": BadBool(), "wrong bool": WrongBool()}

OTHER_CALLS = {
    **{f"search_markdown(limit={name})": (lambda v: lambda m, at: m.search_markdown([at.root], "b", v))(value)
       for name, value in {**NUMBERS, "minus huge": -HUGE, "wrong index": WrongIndex()}.items()},
    **{f"browse_directories(include_files={name})": (lambda v: lambda m, at: m.browse_directories(str(at.root), v))(
        value) for name, value in TRUTHS.items()},
    **{f"access_token(rotate={name})": (lambda v: lambda m, at: len(m.access_token(v)))(value)
       for name, value in TRUTHS.items()},
    **{f"prune(check={name})": (lambda v: lambda m, at: m.Favorites.load().prune(v))(value) for name, value in {
        "raises": fail, "returns bad bool": returning(BadBool()), "None": None}.items()},
    "PathList._load(limit=huge)": lambda m, at: m.PathList._load("favorites.json", HUGE),
    "PathList(too many arguments)": lambda m, at: m.PathList(1, 2, 3, 4),
    "Workspaces.roots of odd entries": lambda m, at: m.Workspaces(at.state / "w.json", [{"path": NUL}, {"path": 5},
                                                                                        {"path": "/" + LONG}]).roots(),
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
    "browse_shortcuts": lambda m, at: m.browse_shortcuts()[:1],
    "state_dir": lambda m, at: m.state_dir(),
}


@pytest.mark.parametrize("case", CASES.add({name: (call, True) for name, call in OTHER_CALLS.items()}))
def test_other_arguments(outcomes, case):
    check(outcomes[case])


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
    "os": ({"scandir and walk raise": types.SimpleNamespace(scandir=fail, walk=fail, environ=os.environ,
                                                             path=os.path, fspath=os.fspath),
            "environ holds bytes": types.SimpleNamespace(environ={"TIDEWING_MD_STATE_DIR": BytesSub(b"/x")})},
           ["token", "scan", "listing"]),
    "json": ({"dumps returns bytes": types.SimpleNamespace(dumps=returning(b"[]"), loads=fail),
              "loads returns a raising iterable": types.SimpleNamespace(loads=returning(PartlyIterable([])),
                                                                       dumps=fail)}, ["recent", "lists"]),
    "time": ({"time returns a str": types.SimpleNamespace(time=returning("now")),
              "time raises": types.SimpleNamespace(time=fail)}, ["recent", "lists"]),
}


def rebinding_cases():
    cases = {}
    for name, (values, uses) in REBINDINGS.items():
        for label, value in values.items():
            for use in uses:
                def call(m, at, name=name, value=value, use=use):
                    setattr(m, name, value)
                    return USES[use](m, at)

                cases[f"{name}={label}-{use}"] = (call, False)
    return cases


@pytest.mark.parametrize("case", CASES.add(rebinding_cases()))
def test_rebound_names(outcomes, case):
    check(outcomes[case])


# ------------------------------------------------------------ exhaustion


def in_place(place, prepare, limit):
    """A `before` for the child: the tree, then `prepare(place)`, then `limit()`."""

    def before():
        place.reset()
        prepare(place)
        limit()

    return before


def dev_zero_at(name):
    def prepare(at):
        (at.state / name).unlink(missing_ok=True)
        (at.state / name).symlink_to("/dev/zero")

    return prepare


STATE_FILE_READS = {
    "RecentFiles.load": ("recent.json", lambda: pagecase.RecentFiles.load().entries),
    "Favorites.load": ("favorites.json", lambda: pagecase.Favorites.load().entries),
    "Workspaces.load": ("workspaces.json", lambda: pagecase.Workspaces.load().entries),
    "access_token": ("access_token", lambda: len(pagecase.access_token())),
}


@forked.needs_address_limits
@pytest.mark.parametrize("call", STATE_FILE_READS)
def test_a_state_file_linked_to_dev_zero_under_a_memory_limit(place, call):
    """The documented read_text() raises MemoryError there; an empty list (or a new token) is sound too."""
    name, read = STATE_FILE_READS[call]
    limit = forked.limit_address_space(512 << 20)
    outcome = forked.run_one(read, before=in_place(place, dev_zero_at(name), limit))
    assert outcome.error == "MemoryError" or outcome.kind == "returned", outcome.text


def sparse_document(at):
    path = at.root / "sparse.md"
    with open(path, "wb") as file:
        file.truncate(2 << 30)
    return path


BEYOND_MEMORY = {"/dev/zero": lambda at: Path("/dev/zero"), "a sparse file of 2 GiB": sparse_document}


@forked.needs_address_limits
@pytest.mark.parametrize("source", BEYOND_MEMORY)
def test_reading_beyond_memory_under_a_raised_limit(place, source):
    def read():
        pagecase.MAX_DOCUMENT_BYTES = 10**12
        return pagecase.read_document(BEYOND_MEMORY[source](place))

    outcome = forked.run_one(read, before=in_place(place, lambda at: None, forked.limit_address_space(512 << 20)))
    assert outcome.error == "MemoryError" or outcome.value is None, outcome.text


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
