"""The state directory, the access token, and the persisted lists (recent
files, favourites, workspaces), as plain pathlib and json steps."""

import dataclasses
import json
import os
import time
from pathlib import Path

from reference import documents


def state_dir():
    base = os.environ.get("TIDEWING_MD_STATE_DIR")
    path = Path(base) if base else Path.home() / ".tidewing" / "quillery"
    path.mkdir(parents=True, exist_ok=True)
    return path


def access_token(rotate=False):
    import secrets

    target = state_dir() / "access_token"
    if not rotate:
        try:
            existing = target.read_text(encoding="utf-8").strip()
            if existing:
                return existing
        except OSError:
            pass
    token = secrets.token_urlsafe(16)
    try:
        target.write_text(token, encoding="utf-8")
        target.chmod(0o600)
    except OSError:
        pass
    return token


# ------------------------------------------------------------ list files


def write_in_place(path, text):
    path.write_text(text, encoding="utf-8")


def replace_atomically(path, text):
    """What the module does instead of writing in place: a temporary file
    beside the list, flushed to disk, renamed over it."""
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    with open(temporary, "w", encoding="utf-8") as file:
        file.write(text)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)


def load_entries(target):
    try:
        data = json.loads(target.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return []
    if not isinstance(data, list):
        return []
    return [entry for entry in data if isinstance(entry, dict) and entry.get("path")]


def save_entries(path, entries, write):
    text = json.dumps(entries, ensure_ascii=False, indent=2)
    try:
        write(path, text)
    except OSError:
        pass


@dataclasses.dataclass
class PathList:
    path: Path
    entries: list = dataclasses.field(default_factory=list)
    limit: "int | None" = None
    write = staticmethod(write_in_place)

    @classmethod
    def _load(cls, filename, limit):
        target = state_dir() / filename
        return cls(path=target, entries=load_entries(target), limit=limit)

    def contains(self, target):
        key = str(target)
        return any(entry.get("path") == key for entry in self.entries)

    def remove(self, target):
        key = str(target)
        before = len(self.entries)
        self.entries = [entry for entry in self.entries if entry.get("path") != key]
        if len(self.entries) != before:
            self.save()

    def prune(self, check=Path.is_file):
        alive = [entry for entry in self.entries if check(Path(entry["path"]))]
        if len(alive) != len(self.entries):
            self.entries = alive
            self.save()
        return self.entries

    def save(self):
        save_entries(self.path, self.entries, self.write)


@dataclasses.dataclass
class RecentFiles:
    path: Path
    entries: list = dataclasses.field(default_factory=list)
    write = staticmethod(write_in_place)

    @classmethod
    def load(cls):
        target = state_dir() / "recent.json"
        return cls(path=target, entries=load_entries(target))

    def add(self, document):
        key = str(document)
        self.entries = [entry for entry in self.entries if entry.get("path") != key]
        self.entries.insert(0, {"path": key, "name": document.name, "opened_at": time.time()})
        del self.entries[documents._RECENT_LIMIT :]
        self.save()

    def prune(self):
        alive = [entry for entry in self.entries if Path(entry["path"]).is_file()]
        if len(alive) != len(self.entries):
            self.entries = alive
            self.save()
        return self.entries

    def save(self):
        save_entries(self.path, self.entries, self.write)


@dataclasses.dataclass
class Favorites(PathList):
    @classmethod
    def load(cls):
        return cls._load("favorites.json", limit=None)

    def toggle(self, document):
        if self.contains(document):
            self.remove(document)
            return False
        self.entries.append({"path": str(document), "name": document.name, "added_at": time.time()})
        self.save()
        return True


@dataclasses.dataclass
class Workspaces(PathList):
    @classmethod
    def load(cls):
        return cls._load("workspaces.json", limit=None)

    def add(self, folder):
        if self.contains(folder):
            return
        self.entries.append({"path": str(folder), "name": folder.name or str(folder), "added_at": time.time()})
        self.save()

    def roots(self):
        self.prune(check=Path.is_dir)
        return [Path(entry["path"]) for entry in self.entries]

    def owning_root(self, target):
        for root in self.roots():
            if documents.contain(root, str(target)) is not None:
                return root
        return None
