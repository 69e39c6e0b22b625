"""The document store's constants, containment, the Markdown test, and
document resolution and reading, as plain pathlib steps.

The constants live here, where the module binds them too; the other
reference modules read them from this module at each call, so a test that
rebinds one here changes every later call, as rebinding it on the native
module does.
"""

import dataclasses
from pathlib import Path

MARKDOWN_SUFFIXES = frozenset({".md", ".markdown", ".mdown", ".mkd", ".mdtxt", ".text"})
ASSET_SUFFIXES = frozenset({".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg", ".avif", ".bmp", ".ico"})
MAX_DOCUMENT_BYTES = 32 * 1024 * 1024
_RECENT_LIMIT = 20
SKIP_DIRS = frozenset(
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
MAX_SCAN_FILES = 20000
MAX_SCAN_DEPTH = 12

TITLE_LINES = 40


def contain(root, raw):
    if not raw:
        return None
    try:
        candidate = Path(raw).expanduser()
        if not candidate.is_absolute():
            candidate = root / candidate
        target = candidate.resolve()
        root_resolved = root.resolve()
    except (OSError, RuntimeError):
        return None
    if target == root_resolved or root_resolved in target.parents:
        return target
    return None


def is_markdown(path):
    return path.suffix.lower() in MARKDOWN_SUFFIXES


def title_of(text, name):
    for line in text.splitlines()[:TITLE_LINES]:
        stripped = line.strip()
        if stripped.startswith("# "):
            return stripped[2:].strip()
    return name


@dataclasses.dataclass(frozen=True)
class Document:
    path: Path
    text: str
    mtime: float
    size: int

    @property
    def title(self):
        return title_of(self.text, self.path.name)

    def as_payload(self):
        return {
            "path": str(self.path),
            "name": self.path.name,
            "dir": str(self.path.parent),
            "title": self.title,
            "text": self.text,
            "mtime": self.mtime,
            "size": self.size,
        }


def resolve_document(raw):
    if not raw:
        return None
    try:
        path = Path(raw).expanduser().resolve()
    except (OSError, RuntimeError):
        return None
    if not path.is_file():
        return None
    if not is_markdown(path):
        return None
    return path


def resolve_asset(document, raw):
    target = contain(document.parent, raw)
    if target is None:
        return None
    if not target.is_file():
        return None
    if target.suffix.lower() in ASSET_SUFFIXES:
        return target
    return None


def read_document(path):
    try:
        stat = path.stat()
        if stat.st_size > MAX_DOCUMENT_BYTES:
            return None
        raw = path.read_bytes()
    except OSError:
        return None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("utf-8", errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    return Document(path=path, text=text, mtime=stat.st_mtime, size=stat.st_size)


def stat_signature(path):
    try:
        stat = path.stat()
    except OSError:
        return None
    return (stat.st_mtime, stat.st_size)
