"""Loading the document store: what it binds, and no second initialisation."""

import os
import subprocess
import sys

from tidewing_quillery import pagecase


def test_constants_and_their_types():
    assert pagecase.MARKDOWN_SUFFIXES == frozenset({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"})
    assert pagecase.ASSET_SUFFIXES == frozenset(
        {".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg", ".avif", ".bmp", ".ico"})
    assert len(pagecase.SKIP_DIRS) == 18 and {".git", "node_modules", ".DS_Store"} <= pagecase.SKIP_DIRS
    assert (pagecase.MAX_DOCUMENT_BYTES, pagecase._RECENT_LIMIT) == (33554432, 20)
    assert (pagecase.MAX_SCAN_FILES, pagecase.MAX_SCAN_DEPTH) == (20000, 12)
    for name in ("MARKDOWN_SUFFIXES", "ASSET_SUFFIXES", "SKIP_DIRS"):
        assert type(getattr(pagecase, name)) is frozenset
    names = list(vars(pagecase))
    constants = ["MARKDOWN_SUFFIXES", "ASSET_SUFFIXES", "MAX_DOCUMENT_BYTES", "_RECENT_LIMIT",
                 "SKIP_DIRS", "MAX_SCAN_FILES", "MAX_SCAN_DEPTH"]
    assert [n for n in names if n in constants] == constants


def test_second_initialisation_is_refused():
    script = (
        "import importlib, sys\n"
        "import tidewing_quillery.pagecase\n"
        "del sys.modules['tidewing_quillery.pagecase']\n"
        "try:\n"
        "    importlib.import_module('tidewing_quillery.pagecase')\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert "already initialised in this process" in out.stdout
