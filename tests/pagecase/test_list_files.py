"""Where list saves go and what loads read: links at the list file, what is not a regular file,
folders that take no new files, and list paths that are not plain pathlib paths."""

import json
import os
import stat
import types
from pathlib import Path

import forked
import pytest

from tidewing_quillery import pagecase

ENTRIES = [{"path": "/docs/new.md", "name": "new.md", "opened_at": 1.5}]
STRANGER = 4242

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="giving files to other users needs root")


def kernel_protects_links():
    try:
        return Path("/proc/sys/fs/protected_symlinks").read_text().strip() == "1"
    except OSError:
        return False


def kernel_follows(link):
    try:
        os.close(os.open(link, os.O_WRONLY))
        return True
    except PermissionError:
        return False


# ------------------------------------------------------------ links (as root)


# Whether a link in a folder anybody may write in is followed, as fs.protected_symlinks decides.
LINK_RULE = [
    pytest.param(True, 0, STRANGER, False, marks=pytest.mark.native_fs),  # another user's link in a shared folder
    (True, 0, 0, True),  # our own link there
    (True, STRANGER, STRANGER, True),  # the folder owner's link
    (False, 0, STRANGER, True),  # a folder anybody may write in, but not sticky
]


@needs_root
@pytest.mark.parametrize("sticky, folder_owner, link_owner, followed", LINK_RULE)
def test_a_link_at_the_list_file_is_followed_where_the_kernel_would(
    tmp_path, sticky, folder_owner, link_owner, followed
):
    folder, victim = tmp_path / "shared", tmp_path / "victim.json"
    folder.mkdir()
    folder.chmod(0o1777 if sticky else 0o777)
    os.chown(folder, folder_owner, folder_owner)
    victim.write_text("victim")
    link = folder / "recent.json"
    link.symlink_to(victim)
    os.lchown(link, link_owner, link_owner)
    pagecase.RecentFiles(link, ENTRIES).save()
    assert victim.read_text() == ("victim" if not followed else json.dumps(ENTRIES, indent=2))
    assert link.is_symlink() and os.listdir(folder) == ["recent.json"]
    if kernel_protects_links():
        assert kernel_follows(link) == followed


@needs_root
@pytest.mark.native_fs
@pytest.mark.parametrize("planted", ["dangling link", "second hop"])
def test_a_strangers_link_is_refused_at_any_hop(tmp_path, planted):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    target = tmp_path / "created.json"
    if planted == "dangling link":
        listed = shared / "favorites.json"
        listed.symlink_to(target)
        os.lchown(listed, STRANGER, STRANGER)
    else:  # our own link, to a stranger's link in the shared folder
        (shared / "hop").symlink_to(target)
        os.lchown(shared / "hop", STRANGER, STRANGER)
        listed = tmp_path / "favorites.json"
        listed.symlink_to(shared / "hop")
    favorites = pagecase.Favorites(listed)
    assert favorites.toggle(Path("/docs/a.md")) is True
    assert not target.exists() and favorites.entries[0]["path"] == "/docs/a.md"


@needs_root
@pytest.mark.parametrize("sticky, folder_owner, link_owner, followed", LINK_RULE)
def test_state_files_are_read_through_a_link_only_where_a_save_would_follow_it(
    tmp_path, monkeypatch, sticky, folder_owner, link_owner, followed
):
    folder, real = tmp_path / "shared", tmp_path / "real"
    folder.mkdir()
    real.mkdir()
    folder.chmod(0o1777 if sticky else 0o777)
    os.chown(folder, folder_owner, folder_owner)
    for name in ("recent.json", "favorites.json", "workspaces.json", "access_token"):
        (real / name).write_text("linked-token" if name == "access_token" else json.dumps(ENTRIES))
        (folder / name).symlink_to(real / name)
        os.lchown(folder / name, link_owner, link_owner)
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(folder))
    loaded = [cls.load().entries for cls in (pagecase.RecentFiles, pagecase.Favorites, pagecase.Workspaces)]
    assert loaded == [ENTRIES if followed else []] * 3
    assert (pagecase.access_token() == "linked-token") == followed


def test_our_own_link_in_a_shared_folder_is_followed_by_a_plain_user(open_folder, nobody):
    shared = open_folder / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    real = open_folder / "real.json"
    real.write_text("[]")
    real.chmod(0o666)
    link = shared / "workspaces.json"
    link.symlink_to(real)
    nobody.own(link)
    forked.run_one(pagecase.Workspaces(link, ENTRIES).save, before=nobody.become)
    assert json.loads(real.read_text()) == ENTRIES and link.is_symlink()


# ------------------------------------------------------- not a regular file


def device_node(path):
    """A character device of our own in place of /dev/null: a failing save must not touch the real one."""
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("creating a device node needs root")


NOT_FILES = {"fifo": (os.mkfifo, stat.S_ISFIFO), "device": (device_node, stat.S_ISCHR)}


@pytest.mark.native_fs
@pytest.mark.parametrize("kind", NOT_FILES)
@pytest.mark.parametrize("reached", ["at the list's name", "through a link"])
def test_a_save_leaves_a_device_or_fifo_alone(tmp_path, monkeypatch, kind, reached):
    """A link to /dev/null turns the history off: saves write nothing, loads find nothing."""
    make, is_kind = NOT_FILES[kind]
    state = tmp_path / "state"
    state.mkdir()
    special = state / "recent.json"
    if reached == "through a link":
        special = tmp_path / "special"
        (state / "recent.json").symlink_to(special)
    make(special)
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(state))
    recent = pagecase.RecentFiles.load()
    recent.add(Path("/docs/a.md"))
    assert [e["path"] for e in recent.entries] == ["/docs/a.md"]  # the list in memory keeps the change
    assert is_kind(os.lstat(special).st_mode) and os.listdir(state) == ["recent.json"]
    assert pagecase.RecentFiles.load().entries == []


# ------------------------------------------------- folders that take no new files


@pytest.mark.parametrize("listed", ["file", "link to a file elsewhere", "missing"])
def test_a_folder_that_takes_no_new_files_gets_the_list_written_in_place(open_folder, nobody, listed):
    state, elsewhere = open_folder / "state", open_folder / "elsewhere"
    state.mkdir()
    elsewhere.mkdir()
    real = (elsewhere if listed.startswith("link") else state) / "recent.json"
    if listed != "missing":
        real.write_text("old")
        real.chmod(0o640)
        nobody.own(real)
    if listed.startswith("link"):
        (state / "recent.json").symlink_to(real)
        nobody.own(state / "recent.json")
    before = sorted(os.listdir(state)), listed != "missing" and os.stat(real).st_ino
    state.chmod(0o555)
    elsewhere.chmod(0o555)

    recent = pagecase.RecentFiles(state / "recent.json", [])
    added = forked.run_one(lambda: (recent.add(Path("/docs/new.md")), recent.entries)[1], before=nobody.become)
    assert added.kind == "returned" and "/docs/new.md" in added.text  # the list keeps the change
    assert (sorted(os.listdir(state)), listed != "missing" and os.stat(real).st_ino) == before
    if listed != "missing":
        assert [e["path"] for e in json.loads(real.read_text())] == ["/docs/new.md"]
        assert oct(os.stat(real).st_mode & 0o777) == oct(0o640)


# ---------------------------------------------------------- host path objects


class OwnPath(type(Path())):
    """A pathlib path whose class has text methods of its own."""

    stored, raised, written = "[]", None, []

    def read_text(self, encoding):
        if OwnPath.raised:
            raise OwnPath.raised
        return OwnPath.stored

    def write_text(self, text, encoding):
        OwnPath.written.append((text, encoding))
        if OwnPath.raised:
            raise OwnPath.raised


@pytest.fixture
def own_state(tmp_path, monkeypatch):
    OwnPath.stored, OwnPath.raised, OwnPath.written = "[]", None, []
    monkeypatch.setattr(pagecase, "state_dir", lambda: OwnPath(tmp_path))
    return OwnPath


@pytest.mark.parametrize(
    "raised, loaded",
    [
        (None, [{"path": "/from/read_text"}]),
        (PermissionError(), []),
        (ValueError(), []),
        (KeyError(), KeyError),
    ],
)
def test_lists_load_through_the_paths_own_read_text(own_state, raised, loaded):
    own_state.stored, own_state.raised = '[{"path": "/from/read_text"}, {"path": ""}]', raised
    for cls in (pagecase.RecentFiles, pagecase.Favorites, pagecase.Workspaces):
        try:
            listed = cls.load()
        except Exception as error:
            assert type(error) is loaded
            continue
        assert type(listed.path) is OwnPath and listed.entries == loaded


@pytest.mark.parametrize("raised", [None, PermissionError(), TypeError()])
def test_lists_save_through_the_paths_own_write_text(own_state, raised):
    favorites = pagecase.Favorites.load()
    own_state.raised = raised
    try:
        assert favorites.toggle(Path("/docs/a.md")) is True
    except TypeError:
        assert raised.__class__ is TypeError
    ((text, encoding),) = own_state.written
    assert encoding == "utf-8" and json.loads(text) == favorites.entries


def test_what_json_dumps_returns_goes_to_write_text_as_it_is(own_state, tmp_path, monkeypatch):
    monkeypatch.setattr(
        pagecase, "json", types.SimpleNamespace(dumps=lambda entries, **options: b"bytes", loads=json.loads)
    )
    pagecase.RecentFiles.load().save()
    assert own_state.written == [(b"bytes", "utf-8")]
    plain = pagecase.RecentFiles(tmp_path / "recent.json")
    with pytest.raises(TypeError, match="data must be str, not bytes"):
        plain.save()
    assert not plain.path.exists()
