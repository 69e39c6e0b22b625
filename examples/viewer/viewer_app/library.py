"""The viewer's document work, through the public API of
tidewing_quillery.pagecase alone.

Every path the page sends comes through here and leaves as a result or as
None, which the server answers with one not-found reply. Documents are
served only from the registered folders (Workspaces): resolve_document
accepts any Markdown file the process can see, so the resolved path must
also have an owning root. Images are served only from the open document's
folder (resolve_asset).

The store answers with paths, checked when it answered. The viewer reads the
file behind one itself, through files.read_regular, so that what it reads is
judged on its own descriptor and opening it never waits; a document's bytes
become a Document as read_document would make it.
"""

import threading
from pathlib import Path

from tidewing_quillery import pagecase

from .files import read_regular

SEARCH_LIMIT = 40
MAX_IMAGE_BYTES = 64 * 1024 * 1024


class Library:
    def __init__(self):
        # The state lists take no locks, each change rewrites the whole file, and
        # even Workspaces.roots() may rewrite workspaces.json: without one lock
        # around each load-change-save, two request threads would lose an update.
        self._state = threading.Lock()

    # Folders

    def roots(self):
        with self._state:
            return pagecase.Workspaces.load().roots()

    def add_root(self, raw):
        """Register a folder (resolved, so one folder is never listed twice
        under two spellings) and return the roots; None when it is no folder."""
        try:
            folder = Path(raw).expanduser().resolve()
        except (OSError, RuntimeError, ValueError):
            return None
        if not folder.is_dir():
            return None
        with self._state:
            workspaces = pagecase.Workspaces.load()
            workspaces.add(folder)
            return workspaces.roots()

    def owning_root(self, target):
        with self._state:
            return pagecase.Workspaces.load().owning_root(target)

    def folder(self, raw):
        """One level of a folder inside a registered root, as the tree shows it."""
        root = self.owning_root(Path(raw))
        return None if root is None else pagecase.list_folder(root, raw)

    def tree(self):
        """Each registered root with its first level."""
        return [listing for listing in map(pagecase.list_folder, self.roots()) if listing is not None]

    def search(self, query):
        return pagecase.search_markdown(self.roots(), query, limit=SEARCH_LIMIT)

    # Documents and their images

    def document(self, raw):
        """The resolved path of a Markdown file inside a registered root, or None."""
        path = pagecase.resolve_document(raw)
        if path is None or self.owning_root(path) is None:
            return None
        return path

    def read(self, raw):
        """The Document the page asked for, recorded as recently opened."""
        path = self.document(raw)
        found = None if path is None else read_regular(path, pagecase.MAX_DOCUMENT_BYTES)
        if found is None:
            return None
        data, status = found
        # As read_document decodes: never failing on content, one byte-order mark dropped.
        text = data.decode("utf-8", "replace").removeprefix("\ufeff")
        with self._state:
            pagecase.RecentFiles.load().add(path)
        return pagecase.Document(path, text, status.st_mtime, status.st_size)

    def image(self, document, raw):
        """The bytes and path of an image beside a document, or None."""
        path = self.asset(document, raw)
        found = None if path is None else read_regular(path, MAX_IMAGE_BYTES)
        return None if found is None else (found[0], path)

    def signature(self, raw):
        """The document's (mtime, size), by which the page notices edits."""
        path = self.document(raw)
        return None if path is None else pagecase.stat_signature(path)

    def asset(self, document, raw):
        path = self.document(document)
        return None if path is None else pagecase.resolve_asset(path, raw)

    # Recent files and favourites

    def recent(self):
        with self._state:
            return list(pagecase.RecentFiles.load().prune())

    def favorites(self):
        with self._state:
            return list(pagecase.Favorites.load().entries)

    def is_favorite(self, path):
        with self._state:
            return pagecase.Favorites.load().contains(path)

    def set_favorite(self, raw, wanted):
        """Make a document a favourite or not. Favorites has only toggle(), so
        the wanted state is compared first: a page that sent its request twice
        must not flip the star back."""
        path = self.document(raw)
        if path is None:
            return None
        with self._state:
            favorites = pagecase.Favorites.load()
            if favorites.contains(path) != wanted:
                favorites.toggle(path)
            return list(favorites.entries)

    # The directory picker (not confined: it shows folder names and counts,
    # never a file's content, and adding a folder is the user's choice)

    @staticmethod
    def browse(raw, include_files=False):
        return pagecase.browse_directories(raw, include_files)

    @staticmethod
    def shortcuts():
        return pagecase.browse_shortcuts()
