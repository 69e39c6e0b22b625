"""The folder listing of the tree browser, the directory picker and its
shortcuts."""

import os
from pathlib import Path

from reference import documents

MOUNT_DIRECTORIES = ("/media", "/mnt", "/Volumes")
VOLUMES_PER_MOUNT = 8


def _interesting(entry):
    if entry.name.startswith("."):
        return False
    return entry.name not in documents.SKIP_DIRS


def entry_dict(entry):
    return {"name": entry.name, "path": entry.path}


def by_lowered_name(items):
    items.sort(key=lambda item: item["name"].lower())


def list_folder(root, subpath=""):
    target = documents.contain(root, subpath) if subpath else root.resolve()
    if target is None or not target.is_dir():
        return None
    folders, files = [], []
    try:
        with os.scandir(target) as entries:
            for entry in entries:
                if not _interesting(entry):
                    continue
                try:
                    if entry.is_dir(follow_symlinks=False):
                        folders.append(entry_dict(entry))
                    elif entry.is_file(follow_symlinks=False) and documents.is_markdown(Path(entry.name)):
                        files.append(entry_dict(entry))
                except OSError:
                    continue
    except OSError:
        return None
    by_lowered_name(folders)
    by_lowered_name(files)
    return {"path": str(target), "name": target.name or str(target), "folders": folders, "files": files}


def browse_directories(raw="", include_files=False):
    try:
        target = Path(raw).expanduser().resolve() if raw else Path.home().resolve()
    except (OSError, RuntimeError):
        return None
    if not target.is_dir():
        return None
    parent = None if target.parent == target else str(target.parent)
    folders, files, count = [], [], 0
    try:
        with os.scandir(target) as entries:
            for entry in entries:
                try:
                    if entry.is_dir(follow_symlinks=False):
                        if _interesting(entry):
                            folders.append(entry_dict(entry))
                    elif entry.is_file(follow_symlinks=False) and documents.is_markdown(Path(entry.name)):
                        count += 1
                        if include_files:
                            files.append(entry_dict(entry))
                except OSError:
                    continue
    except PermissionError:
        return {"path": str(target), "parent": parent, "folders": [], "files": [], "markdown_count": 0, "denied": True}
    except OSError:
        return None
    by_lowered_name(folders)
    by_lowered_name(files)
    return {
        "path": str(target),
        "parent": parent,
        "folders": folders,
        "files": files,
        "markdown_count": count,
        "denied": False,
    }


def browse_shortcuts():
    candidates = [("Home", Path.home()), ("Documents", Path.home() / "Documents"), ("Desktop", Path.home() / "Desktop")]
    for mount in MOUNT_DIRECTORIES:
        if not Path(mount).is_dir():
            continue
        try:
            for volume in sorted(Path(mount).iterdir())[:VOLUMES_PER_MOUNT]:
                if volume.is_dir():
                    candidates.append((volume.name, volume))
        except OSError:
            continue
    candidates.append(("Filesystem", Path("/")))
    shortcuts, reported = [], set()
    for label, path in candidates:
        try:
            resolved = path.resolve()
        except (OSError, RuntimeError):
            continue
        key = str(resolved)
        if key in reported or not resolved.is_dir():
            continue
        reported.add(key)
        shortcuts.append({"label": label, "path": key})
    return shortcuts
