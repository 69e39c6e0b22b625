"""Loading the document store: what it binds, in which order, and its stubs."""

import ast
import dataclasses
import json
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from tidewing_quillery import pagecase

BINDING_ORDER = [
    "json",
    "os",
    "time",
    "dataclass",
    "field",
    "Path",
    "MARKDOWN_SUFFIXES",
    "ASSET_SUFFIXES",
    "MAX_DOCUMENT_BYTES",
    "_RECENT_LIMIT",
    "SKIP_DIRS",
    "MAX_SCAN_FILES",
    "MAX_SCAN_DEPTH",
    "contain",
    "is_markdown",
    "Document",
    "resolve_document",
    "resolve_asset",
    "read_document",
    "stat_signature",
    "state_dir",
    "access_token",
    "PathList",
    "RecentFiles",
    "Favorites",
    "Workspaces",
    "scan_markdown",
    "search_markdown",
    "fuzzy_score",
    "_interesting",
    "list_folder",
    "browse_directories",
    "browse_shortcuts",
]


def test_names_in_binding_order():
    assert [name for name in vars(pagecase) if not name.startswith("__")] == BINDING_ORDER
    bound = (pagecase.json, pagecase.os, pagecase.time, pagecase.dataclass, pagecase.field, pagecase.Path)
    assert bound == (json, os, time, dataclasses.dataclass, dataclasses.field, pathlib.Path)


def test_constants_and_their_types():
    assert pagecase.MARKDOWN_SUFFIXES == frozenset({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"})
    assert pagecase.ASSET_SUFFIXES == frozenset(
        {".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg", ".avif", ".bmp", ".ico"}
    )
    assert pagecase.SKIP_DIRS == frozenset(
        {
            ".git",
            ".hg",
            ".svn",
            "node_modules",
            "__pycache__",
            ".venv",
            "venv",
            ".tox",
            ".mypy_cache",
            ".pytest_cache",
            ".ruff_cache",
            "dist",
            "build",
            ".idea",
            ".vscode",
            ".cache",
            "site-packages",
            ".DS_Store",
        }
    )
    assert (pagecase.MAX_DOCUMENT_BYTES, pagecase._RECENT_LIMIT) == (33554432, 20)
    assert (pagecase.MAX_SCAN_FILES, pagecase.MAX_SCAN_DEPTH) == (20000, 12)
    for name in ("MARKDOWN_SUFFIXES", "ASSET_SUFFIXES", "SKIP_DIRS"):
        assert type(getattr(pagecase, name)) is frozenset


def test_records_are_dataclasses():
    assert dataclasses.is_dataclass(pagecase.Document) and pagecase.Document.__dataclass_params__.frozen
    for name in ("PathList", "RecentFiles", "Favorites", "Workspaces"):
        cls = getattr(pagecase, name)
        assert cls.__module__ == "tidewing_quillery.pagecase"
        assert not cls.__dataclass_params__.frozen and cls.__hash__ is None
    assert pagecase.Favorites.__bases__ == pagecase.Workspaces.__bases__ == (pagecase.PathList,)


# Every original the module declares registers itself and is remembered as
# loading ends; one whose name is not bound by then (here `json`, deleted while
# the module imports pathlib) would never stand in for anything, so the import
# stops instead of the native routes being quietly never taken.
UNBOUND_ORIGINAL = """
import gc, sys
class DropJsonWhenPathlibLoads:
    def find_spec(self, name, path=None, target=None):
        if name == "pathlib":
            for obj in gc.get_objects():
                if type(obj) is type(sys) and obj.__name__ == "tidewing_quillery.pagecase":
                    del obj.json
sys.modules.pop("pathlib", None)  # loaded at start-up by some releases: imported again
sys.meta_path.insert(0, DropJsonWhenPathlibLoads())
try:
    from tidewing_quillery import pagecase
except ImportError as error:
    print(error)
"""


def test_an_original_not_bound_when_loading_ends_stops_the_import():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", UNBOUND_ORIGINAL], env=env, capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == (
        "tidewing_quillery.pagecase: an original names 'json', which the module has not bound"
    ), out.stderr


def test_second_initialisation_is_refused(second_import_error):
    assert "tidewing_quillery.pagecase is already initialised" in second_import_error("tidewing_quillery.pagecase")


HOST_SCRIPT = """\
import dataclasses
from pathlib import Path
from typing import Any
from tidewing_quillery import pagecase

path: Path | None = pagecase.resolve_document("~/notes.md")
if path is not None:
    doc = pagecase.read_document(path)
    if doc is not None:
        title: str = doc.title
        payload: dict[str, Any] = doc.as_payload()
        edited: pagecase.Document = dataclasses.replace(doc, text="edited", size=6)
        names: list[str] = [field.name for field in dataclasses.fields(doc)]
        fields: dict[str, Any] = dataclasses.asdict(doc)
        signatures: set[pagecase.Document] = {doc, edited}
recent = pagecase.RecentFiles.load()
recent.add(Path("a.md"))
entries: list[dict[str, Any]] = recent.entries
workspaces = pagecase.Workspaces.load()
roots: list[Path] = workspaces.roots()
unlimited: pagecase.Workspaces = dataclasses.replace(workspaces, limit=None)
suffixes: frozenset[str] = pagecase.MARKDOWN_SUFFIXES | pagecase.SKIP_DIRS
hits: list[dict[str, str]] = pagecase.search_markdown(roots, "readme", limit=10)
score: int | None = pagecase.fuzzy_score("rm", "README.md")
wrong: str = pagecase.contain(Path("/"), "x")
pagecase.read_document("not a path")
document = pagecase.Document(Path("a.md"), "# A", 0.0, 3)
document.text = "frozen"
dataclasses.replace(recent, entries="not a list")
"""


def test_stubs_type_check_a_host(type_check):
    errors, report = type_check(pagecase, HOST_SCRIPT)
    assert errors == ["host.py:25", "host.py:26", "host.py:28", "host.py:29"], report


def stub_fields(stub, class_name):
    """(name, annotation, has a default) of each field a class of the stub declares."""
    body = next(node for node in ast.parse(stub).body if getattr(node, "name", None) == class_name).body
    return [
        (node.target.id, ast.unparse(node.annotation), node.value is not None)
        for node in body
        if isinstance(node, ast.AnnAssign) and not node.target.id.startswith("__")
    ]


def test_stubs_declare_the_fields_the_records_hold():
    stub = Path(pagecase.__file__).with_name("pagecase.pyi")
    if not stub.is_file():
        pytest.skip("built without stubs")
    for name in ("Document", "PathList", "RecentFiles", "Favorites", "Workspaces"):
        cls = getattr(pagecase, name)
        fields = {field.name: field for field in dataclasses.fields(cls)}
        held = [
            (
                field,
                annotation,
                fields[field].default is not dataclasses.MISSING
                or fields[field].default_factory is not dataclasses.MISSING,
            )
            for field, annotation in vars(cls).get("__annotations__", {}).items()
        ]
        assert stub_fields(stub.read_text(encoding="utf-8"), name) == held, name


def fresh_interpreter(script, *args):
    """The output of `script` run by a fresh interpreter, which has not loaded dataclasses."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args], env=env, capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


# A record class as a host sees it: its names and what each holds, its
# dataclass parameters, fields and signature.
DESCRIBE_RECORDS = """
    import inspect, sys
    if sys.argv[1] == "loaded":
        import dataclasses
    from tidewing_quillery import pagecase
    import dataclasses
    def shown(value):
        if isinstance(value, (property, classmethod, staticmethod)):
            return f"{type(value).__name__} {shown(value.fget if isinstance(value, property) else value.__func__)}"
        if callable(value) and hasattr(value, "__qualname__"):
            return f"{type(value).__name__} {value.__qualname__}"
        return repr(value) if not isinstance(value, dict) else sorted(value)
    for name in ("Document", "PathList", "RecentFiles", "Favorites", "Workspaces"):
        cls = getattr(pagecase, name)
        print(name, cls.__dataclass_params__, inspect.signature(cls), [f.name for f in dataclasses.fields(cls)])
        for key, value in vars(cls).items():
            if key not in ("__dict__", "__weakref__"):
                print(" ", key, shown(value))
    pagecase.field  # looked at once: bound in place
    print([name for name in vars(pagecase) if not name.startswith("__")])
"""


def test_records_look_alike_made_at_load_or_when_first_looked_at():
    assert fresh_interpreter(DESCRIBE_RECORDS, "later") == fresh_interpreter(DESCRIBE_RECORDS, "loaded")


# What a host does with records first thing, in an interpreter where nothing
# has loaded dataclasses (as loading the module does not).
FIRST_LOOKS = """
    import pickle, sys
    from tidewing_quillery import pagecase
    from tidewing_lattice import tw_lattice
    print(sorted(name for name in ("dataclasses", "inspect", "threading") if name in sys.modules))
    print("dataclass" in dir(pagecase), "dataclass" in vars(pagecase))
    Path = pagecase.Path
    look = sys.argv[1]
    if look == "threads":  # eight threads make the first records at once
        import threading
        made = []
        def make(k):
            made.append(pagecase.Document(Path(f"{k}.md"), "t", 1.0, k))
            made.append(pagecase.Favorites(Path(f"{k}.json")))
        threads = [threading.Thread(target=make, args=(k,)) for k in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(sorted(repr(record) for record in made)[:2])
    elif look == "unpickled":  # made without __init__: the first look is repr
        blob = bytes.fromhex(sys.argv[2])
        print(repr(pickle.loads(blob)), pickle.loads(blob) == pickle.loads(blob))
    elif look == "match":
        match pagecase.Document(Path("a.md"), "t", 1.0, 1):
            case pagecase.Document(path, text):
                print(path, text)
    import dataclasses
    doc = pagecase.Document(Path("a.md"), "t", 1.0, 1)
    try:
        doc.text = "x"
    except dataclasses.FrozenInstanceError as error:
        print("frozen:", error)
    print(dataclasses.replace(doc, size=2), hash(doc) == hash(dataclasses.replace(doc)))
    print(pagecase.dataclass is dataclasses.dataclass, pagecase.field is dataclasses.field)
    print([name for name in vars(pagecase) if not name.startswith("__")][:7])
"""


@pytest.mark.parametrize("look", ["threads", "unpickled", "match"])
def test_records_become_dataclasses_at_a_hosts_first_look(look):
    blob = pickle.dumps(pagecase.Document(pagecase.Path("b.md"), "u", 2.0, 2)).hex()
    lines = fresh_interpreter(FIRST_LOOKS, look, blob).splitlines()
    assert lines[:2] == ["[]", "True False"]
    first = {
        "threads": "[\"Document(path=PosixPath('0.md'), text='t', mtime=1.0, size=0)\", "
        "\"Document(path=PosixPath('1.md'), text='t', mtime=1.0, size=1)\"]",
        "unpickled": "Document(path=PosixPath('b.md'), text='u', mtime=2.0, size=2) True",
        "match": "a.md t",
    }[look]
    assert lines[2:] == [
        first,
        "frozen: cannot assign to field 'text'",
        "Document(path=PosixPath('a.md'), text='t', mtime=1.0, size=2) True",
        "True True",
        "['json', 'os', 'time', 'dataclass', 'field', 'Path', 'MARKDOWN_SUFFIXES']",
    ]
