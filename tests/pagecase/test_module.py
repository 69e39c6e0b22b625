"""Loading the document store: what it binds, in which order, and its stubs."""

import ast
import dataclasses
import json
import os
import pathlib
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
