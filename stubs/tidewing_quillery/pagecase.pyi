"""
Document store of the Tidewing Markdown viewer: containment of outside paths, document reading, per-user state, folder listing, pickers and quick open.
"""

from collections.abc import Callable, Iterable
import dataclasses
import os
import pathlib
from typing import Any, ClassVar


MARKDOWN_SUFFIXES: frozenset[str] = ...

ASSET_SUFFIXES: frozenset[str] = ...

MAX_DOCUMENT_BYTES: int = 33554432

_RECENT_LIMIT: int = 20

SKIP_DIRS: frozenset[str] = ...

MAX_SCAN_FILES: int = 20000

MAX_SCAN_DEPTH: int = 12

def contain(root: pathlib.Path, raw: str) -> pathlib.Path | None:
    """
    The resolved path of `raw` when it is `root` or lies below it, else None.

    `raw` is relative to `root` or absolute, possibly starting with a tilde; symbolic links are followed on both sides before they are compared. None for an empty `raw`, a path outside `root`, and one whose resolution raises OSError or RuntimeError (a loop of links); a `raw` that is neither str nor path raises pathlib's TypeError.
    """

def is_markdown(path: pathlib.Path) -> bool:
    """
    Whether the lower-cased suffix of the path's final component is in MARKDOWN_SUFFIXES.

    No file-system access; an object without `suffix` raises AttributeError.
    """

@dataclasses.dataclass(frozen=True)
class Document:
    """
    A Markdown file as read: its path, decoded text, and the st_mtime and st_size of the stat taken before reading.

    Frozen: assigning a field raises dataclasses.FrozenInstanceError.
    """

    path: pathlib.Path
    text: str
    mtime: float
    size: int

    @property
    def title(self) -> str:
        """
        The text of the first "# " heading among the first 40 lines, or the file name when there is none.
        """

    def as_payload(self) -> dict[str, Any]:
        """A new dict for the page: path, name, dir, title, text, mtime and size."""

    def __init__(self, path: pathlib.Path, text: str, mtime: float, size: int) -> None: ...

def resolve_document(raw: str) -> pathlib.Path | None:
    """
    The resolved path of the existing Markdown file `raw` names, or None.

    `raw` is absolute, relative to the current folder, or starts with a tilde. None when it is empty, cannot be resolved (OSError, RuntimeError), is no regular file or has no Markdown suffix. A `raw` that is neither str nor path raises pathlib's TypeError.
    """

def resolve_asset(document: pathlib.Path, raw: str) -> pathlib.Path | None:
    """
    The resolved path of the existing image `raw` refers to, inside the document's folder, or None.

    None for whatever `contain` refuses, for anything but a regular file, and for a suffix outside ASSET_SUFFIXES.
    """

def read_document(path: pathlib.Path) -> Document | None:
    """
    Read a Markdown file into a Document, or None when it cannot be read (OSError) or exceeds MAX_DOCUMENT_BYTES.

    The bytes are decoded as UTF-8 with invalid sequences replaced and one leading byte-order mark removed, so content never fails.
    """

def stat_signature(path: pathlib.Path) -> tuple[float, int] | None:
    """
    The (st_mtime, st_size) pair of a file, or None when it cannot be examined (OSError).

    For an unchanged file it equals the (mtime, size) of the Document read from it.
    """

def state_dir() -> pathlib.Path:
    """
    The per-user state directory, created when missing; raises OSError when it cannot be.

    $TIDEWING_MD_STATE_DIR when set and not empty, else ~/.tidewing/quillery.
    """

def access_token(rotate: bool = False) -> str:
    """
    The access token remote callers must present, made and stored on first use; `rotate` replaces it.

    A token file that cannot be written leaves the new token unstored but still returned; the errors of state_dir() propagate.
    """

@dataclasses.dataclass
class PathList:
    """
    A list of path entries kept as a JSON file in the state directory; each change is saved at once.
    """

    path: pathlib.Path
    entries: list[dict[str, Any]] = ...
    limit: int | None = None
    __hash__: ClassVar[None]  # type: ignore[assignment]

    @classmethod
    def _load(cls, filename: str, limit: int | None) -> PathList:
        """
        A new instance holding the entries of `filename` in the state directory; an empty list when the file is missing or damaged.

        Raises the error of state_dir() when the state directory cannot be created.
        """

    def contains(self, target: pathlib.Path) -> bool:
        """Whether an entry's "path" is the text of `target` (str(target))."""

    def remove(self, target: pathlib.Path) -> None:
        """
        Drop the entries for `target`, saving when any was dropped; a failed write is not reported.
        """

    def prune(self, check: Callable[[pathlib.Path], object] = pathlib.Path.is_file) -> list[dict[str, Any]]:
        """
        Drop the entries whose path fails `check`, saving when any was dropped; returns `entries` itself.

        What `check` raises propagates with the list and its file unchanged; an entry without "path" raises KeyError.
        """

    def save(self) -> None:
        """
        Write the entries to the list's file, replacing it whole; a failed write (OSError) is not reported.

        An entry JSON cannot render raises json's TypeError before the file is touched.
        """

    def __init__(self, path: pathlib.Path, entries: list[dict[str, Any]] = ..., limit: int | None = None) -> None: ...

@dataclasses.dataclass
class RecentFiles:
    """The most recently opened documents, newest first, kept as recent.json."""

    path: pathlib.Path
    entries: list[dict[str, Any]] = ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

    @classmethod
    def load(cls) -> RecentFiles:
        """
        The recent list from recent.json in the state directory; empty when the file is missing or damaged.

        Raises the error of state_dir() when the state directory cannot be created.
        """

    def add(self, document: pathlib.Path) -> None:
        """
        Put `document` first, keeping at most _RECENT_LIMIT entries, and save; a failed write is not reported.

        A `document` without `name` (a str) raises AttributeError and saves nothing.
        """

    def prune(self) -> list[dict[str, Any]]:
        """
        Drop the entries that are no longer files, saving when any was dropped; returns `entries` itself.

        An entry without "path" raises KeyError, one whose "path" is no text TypeError, with the list and its file unchanged.
        """

    def save(self) -> None:
        """
        Write the entries to recent.json, replacing it whole; a failed write (OSError) is not reported.
        """

    def __init__(self, path: pathlib.Path, entries: list[dict[str, Any]] = ...) -> None: ...

@dataclasses.dataclass
class Favorites(PathList):
    """
    The documents the user pinned, in the order they were added, kept as favorites.json.
    """

    @classmethod
    def load(cls) -> Favorites:
        """
        The favourites from favorites.json in the state directory; empty when the file is missing or damaged.

        Raises the error of state_dir() when the state directory cannot be created.
        """

    def toggle(self, document: pathlib.Path) -> bool:
        """
        Add `document` when it is not listed, else remove it, and save; returns whether it is a favourite now.

        A failed write is not reported. Adding a `document` without `name` (a str) raises AttributeError and saves nothing.
        """

    def __init__(self, path: pathlib.Path, entries: list[dict[str, Any]] = ..., limit: int | None = None) -> None: ...

@dataclasses.dataclass
class Workspaces(PathList):
    """The folders registered as browsing roots, kept as workspaces.json."""

    @classmethod
    def load(cls) -> Workspaces:
        """
        The registered folders from workspaces.json in the state directory; empty when the file is missing or damaged.

        Raises the error of state_dir() when the state directory cannot be created.
        """

    def add(self, folder: pathlib.Path) -> None:
        """
        Register `folder` unless it is listed, and save; a failed write is not reported.

        A `folder` without `name` (a str) raises AttributeError and saves nothing.
        """

    def roots(self) -> list[pathlib.Path]:
        """
        The registered folders that exist as directories, in registration order; the others are pruned from the list and its file.
        """

    def owning_root(self, target: pathlib.Path) -> pathlib.Path | None:
        """
        The first registered root that contains `target`, or None when none does (outside, missing, unreadable or looping).
        """

    def __init__(self, path: pathlib.Path, entries: list[dict[str, Any]] = ..., limit: int | None = None) -> None: ...

def scan_markdown(roots: Iterable[pathlib.Path]) -> list[dict[str, str]]:
    """
    Every Markdown file below the roots as path/name/relative/root dicts; roots and folders that cannot be read are skipped.

    At most MAX_SCAN_DEPTH folders deep and MAX_SCAN_FILES files; hidden folders and SKIP_DIRS are left out, and a file reached twice is reported once.
    """

def search_markdown(roots: Iterable[pathlib.Path], query: str, limit: int | None = 40) -> list[dict[str, str]]:
    """
    The scanned Markdown files that fit `query`, best first, at most `limit`; unreadable roots and folders are skipped.

    Each file is scored with fuzzy_score on its name and on its relative path; files that fit neither are left out. An empty query gives the files ordered by name.
    """

def fuzzy_score(query: str, candidate: str) -> int | None:
    """
    How well `query` fits `candidate` as a case-insensitive subsequence (higher is better), or None when it does not fit.

    Arguments without the str operations used raise the error of the missing one.
    """

def _interesting(entry: os.DirEntry[str]) -> bool:
    """
    Whether a directory entry's name is neither hidden nor one of SKIP_DIRS.

    Only the name is looked at; no file-system access.
    """

def list_folder(root: pathlib.Path, subpath: str = '') -> dict[str, Any] | None:
    """
    One level of the folder `subpath` inside `root`: its subfolders and Markdown files, or None when it cannot be listed.

    None for a `subpath` outside `root`, a missing folder and an OSError while reading it; an entry whose type cannot be told is left out.
    """

def browse_directories(raw: str = '', include_files: bool = False) -> dict[str, Any] | None:
    """
    One directory for the pickers: its enterable subdirectories and Markdown documents; "denied" when it may not be read, None when there is no such directory.

    `raw` is absolute, relative or starts with a tilde; empty means the home directory. The documents are listed only when `include_files` is true, counted always.
    """

def browse_shortcuts() -> list[dict[str, str]]:
    """
    Starting points for the pickers as label/path dicts: home, Documents, Desktop, mounted volumes and the file-system root; missing ones are left out.

    Raises the error of Path.home() when no home directory can be determined.
    """
