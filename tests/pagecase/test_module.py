"""Loading the document store: what it binds, in which order, and its stubs."""

import dataclasses
import json
import os
import pathlib
import time

from tidewing_quillery import pagecase

BINDING_ORDER = [
    "json", "os", "time", "dataclass", "field", "Path",
    "MARKDOWN_SUFFIXES", "ASSET_SUFFIXES", "MAX_DOCUMENT_BYTES", "_RECENT_LIMIT", "SKIP_DIRS",
    "MAX_SCAN_FILES", "MAX_SCAN_DEPTH",
    "contain", "is_markdown", "Document", "resolve_document", "resolve_asset", "read_document",
    "stat_signature", "state_dir", "access_token", "PathList", "RecentFiles", "Favorites", "Workspaces",
    "scan_markdown", "search_markdown", "fuzzy_score", "_interesting", "list_folder",
    "browse_directories", "browse_shortcuts",
]


def test_names_in_binding_order():
    assert [name for name in vars(pagecase) if not name.startswith("__")] == BINDING_ORDER
    bound = (pagecase.json, pagecase.os, pagecase.time, pagecase.dataclass, pagecase.field, pagecase.Path)
    assert bound == (json, os, time, dataclasses.dataclass, dataclasses.field, pathlib.Path)


def test_constants_and_their_types():
    assert pagecase.MARKDOWN_SUFFIXES == frozenset({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"})
    assert pagecase.ASSET_SUFFIXES == frozenset(
        {".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg", ".avif", ".bmp", ".ico"})
    assert pagecase.SKIP_DIRS == frozenset(
        {".git", ".hg", ".svn", "node_modules", "__pycache__", ".venv", "venv", ".tox", ".mypy_cache",
         ".pytest_cache", ".ruff_cache", "dist", "build", ".idea", ".vscode", ".cache", "site-packages",
         ".DS_Store"})
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


HOST_SCRIPT = '''\
from pathlib import Path
from tidewing_quillery import pagecase

path: Path | None = pagecase.resolve_document("~/notes.md")
if path is not None:
    doc = pagecase.read_document(path)
    if doc is not None:
        title: str = doc.title
        text: str = doc.text
        size: int = doc.size
        payload: dict[str, object] = doc.as_payload()
recent = pagecase.RecentFiles.load()
recent.add(Path("a.md"))
entries: list[dict] = recent.entries
roots: list[Path] = pagecase.Workspaces.load().roots()
hits = pagecase.search_markdown(roots, "readme", limit=10)
score: int | None = pagecase.fuzzy_score("rm", "README.md")
wrong: str = pagecase.contain(Path("/"), "x")
pagecase.read_document("not a path")
'''


def test_stubs_type_check_a_host(type_check):
    errors, report = type_check(pagecase, HOST_SCRIPT)
    assert errors == ["host.py:18", "host.py:19"], report
