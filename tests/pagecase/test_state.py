"""The state directory and the access token."""

import os
import stat
import subprocess
import sys

import forked
import pytest

from tidewing_quillery import pagecase


@pytest.fixture
def state(tmp_path, monkeypatch):
    folder = tmp_path / "state"
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(folder))
    return folder


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("value", [None, ""])
def test_default_state_dir_under_home(private_home, monkeypatch, value):
    if value is not None:
        monkeypatch.setenv("TIDEWING_MD_STATE_DIR", value)
    folder = pagecase.state_dir()
    assert folder == private_home / ".tidewing" / "quillery"
    assert folder.is_dir()


def test_state_dir_from_environment_is_taken_verbatim(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", "~/state")
    assert str(pagecase.state_dir()) == "~/state"
    assert (tmp_path / "~" / "state").is_dir()


def test_state_dir_errors_reach_the_caller(tmp_path, monkeypatch):
    (tmp_path / "file").write_text("in the way")
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(tmp_path / "file" / "state"))
    with pytest.raises(OSError):
        pagecase.state_dir()
    with pytest.raises(OSError):
        pagecase.access_token()


def test_state_dir_reads_the_modules_os(state, monkeypatch):
    class FakeOs:
        environ = {"TIDEWING_MD_STATE_DIR": str(state / "elsewhere")}

    monkeypatch.setattr(pagecase, "os", FakeOs)
    assert pagecase.state_dir() == state / "elsewhere"


def test_token_is_stable_and_private(state):
    first = pagecase.access_token()
    assert len(first) == 22 and set(first) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
    assert pagecase.access_token() == first
    assert (state / "access_token").read_bytes() == first.encode()
    assert mode_of(state / "access_token") == 0o600
    assert sorted(p.name for p in state.iterdir()) == ["access_token"]


@pytest.mark.parametrize(
    "stored, kept",
    [
        (b"from-elsewhere\n", "from-elsewhere"),
        (b"  padded\t\r\n", "padded"),
        (b"x" * 100, "x" * 100),
        (b"a\rb", "a\nb"),
    ],
)
def test_stored_token_is_read_afresh(state, stored, kept):
    state.mkdir()
    (state / "access_token").write_bytes(stored)
    assert pagecase.access_token() == kept
    assert (state / "access_token").read_bytes() == stored  # not rewritten


@pytest.mark.parametrize("stored", [b"", b" \n\t ", pytest.param(b"\xff\xfe not utf-8", marks=pytest.mark.native_fs)])
def test_missing_blank_or_undecodable_token_is_replaced(state, stored):
    state.mkdir()
    (state / "access_token").write_bytes(stored)
    token = pagecase.access_token()
    assert len(token) == 22
    assert (state / "access_token").read_text() == token
    assert mode_of(state / "access_token") == 0o600


@pytest.mark.native_fs
def test_rotation_replaces_the_file_atomically(state):
    old = pagecase.access_token()
    inode = os.stat(state / "access_token").st_ino
    new = pagecase.access_token(rotate=True)
    assert new != old and pagecase.access_token() == new
    assert os.stat(state / "access_token").st_ino != inode  # renamed into place, not rewritten
    assert pagecase.access_token(True) != new


def test_token_file_is_private_whatever_the_umask(state):
    old_umask = os.umask(0)
    try:
        pagecase.access_token()
    finally:
        os.umask(old_umask)
    assert mode_of(state / "access_token") == 0o600


@pytest.mark.native_fs
def test_token_file_never_readable_by_others_while_written(tmp_path):
    """Watch every file the token write creates: none is ever created with group or other bits."""
    state = tmp_path / "state"
    script = (
        "import os; from tidewing_quillery import pagecase\n"
        "os.umask(0)\n"
        "for _ in range(20): pagecase.access_token(rotate=True)\n"
    )
    env = dict(os.environ, TIDEWING_MD_STATE_DIR=str(state), PYTHONPATH=os.pathsep.join(sys.path))
    try:
        trace = subprocess.run(
            ["strace", "-f", "-e", "trace=openat,fchmod", sys.executable, "-c", script],
            env=env,
            capture_output=True,
            text=True,
            check=True,
        )
    except FileNotFoundError:
        pytest.skip("strace is not installed")
    creations = [line for line in trace.stderr.splitlines() if "O_CREAT" in line and "access_token" in line]
    assert len(creations) == 20
    assert all(line.rstrip().split(", ")[-1].split(")")[0] == "0600" for line in creations), creations


def test_unwritable_token_file_gives_a_fresh_token_each_time(state):
    state.mkdir()
    (state / "access_token").mkdir()
    tokens = {pagecase.access_token() for _ in range(3)}
    assert len(tokens) == 3
    assert sorted(p.name for p in state.iterdir()) == ["access_token"]


def test_access_token_looks_up_state_dir_at_call_time(tmp_path, monkeypatch):
    monkeypatch.setattr(pagecase, "state_dir", lambda: tmp_path)
    token = pagecase.access_token()
    assert (tmp_path / "access_token").read_text() == token


# -------------------------------------------- a folder that takes no new files


def test_token_in_a_folder_that_takes_no_new_files_is_written_in_place(open_folder, monkeypatch, nobody):
    """A state folder of mode 0555 whose token file the user may write: rotation still stores."""
    state = open_folder / "state"
    state.mkdir()
    target = state / "access_token"
    target.write_text("old")
    target.chmod(0o644)
    nobody.own(target)
    inode = os.stat(target).st_ino
    state.chmod(0o555)
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(state))
    rotated, read = forked.run(lambda: pagecase.access_token(rotate=True), pagecase.access_token, before=nobody.become)
    assert read.value == rotated.value == target.read_text() != "old", (rotated.text, read.text)
    assert os.stat(target).st_ino == inode and mode_of(target) == 0o600
    assert os.listdir(state) == ["access_token"]


# ------------------------------------------------------------ a shared folder

STRANGER = 4242


@pytest.mark.native_fs
@pytest.mark.skipif(os.geteuid() != 0, reason="giving files to other users needs root")
@pytest.mark.parametrize("reader", ["the folder's owner", "another user"])
def test_a_token_another_user_planted_is_never_used(open_folder, monkeypatch, nobody, reader):
    """A token file of somebody else's in a sticky folder anybody may write in: each reader makes
    its own token, and stores it only where the folder lets it replace that file."""
    shared = open_folder / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    planted = shared / "access_token"
    planted.write_text("planted")
    planted.chmod(0o666)
    os.chown(planted, STRANGER, STRANGER)
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(shared))
    calls = [
        pagecase.access_token,
        pagecase.access_token,
        lambda: pagecase.access_token(rotate=True),
        pagecase.access_token,
    ]
    outcomes = forked.run(*calls, before=nobody.become if reader == "another user" else None)
    tokens = [outcome.value for outcome in outcomes]
    assert all(len(token) == 22 for token in tokens), [outcome.text for outcome in outcomes]
    if reader == "another user":  # may not replace the file: a new token each time
        assert len(set(tokens)) == 4 and planted.read_text() == "planted"
        assert os.stat(planted).st_uid == STRANGER and os.listdir(shared) == ["access_token"]
    else:
        assert tokens[0] == tokens[1] != tokens[2] == tokens[3] == planted.read_text()
        assert os.stat(planted).st_uid == os.geteuid() and mode_of(planted) == 0o600


# ---------------------------------------------------------- host objects


class StateFolder:
    """What a rebound state_dir might return: an object with the path methods the token needs."""

    def __init__(self, stored=None, write_error=None):
        self.stored, self.write_error, self.calls = stored, write_error, []

    def __truediv__(self, name):
        self.calls.append(("/", name))
        return self

    def read_text(self, encoding):
        self.calls.append(("read_text", encoding))
        if isinstance(self.stored, BaseException):
            raise self.stored
        return self.stored

    def write_text(self, text, encoding):
        self.calls.append(("write_text", encoding))
        if self.write_error:
            raise self.write_error

    def chmod(self, mode):
        self.calls.append(("chmod", mode))


@pytest.mark.parametrize(
    "stored, write_error, expected",
    [
        ("  kept \n", None, "kept"),
        (" \t", None, "new"),
        (FileNotFoundError(), None, "new"),
        (FileNotFoundError(), PermissionError(), "new, unsaved"),
        (UnicodeDecodeError("utf-8", b"", 0, 1, "bad"), None, UnicodeDecodeError),
        (FileNotFoundError(), TypeError(), TypeError),
    ],
)
def test_token_through_the_objects_own_methods(monkeypatch, stored, write_error, expected):
    folder = StateFolder(stored, write_error)
    monkeypatch.setattr(pagecase, "state_dir", lambda: folder)
    try:
        token = pagecase.access_token()
    except Exception as error:
        assert type(error) is expected
        return
    reads = [("/", "access_token"), ("read_text", "utf-8")]
    if expected == "kept":
        assert token == "kept" and folder.calls == reads
    elif expected == "new":
        assert len(token) == 22 and folder.calls == reads + [("write_text", "utf-8"), ("chmod", 0o600)]
    else:
        assert len(token) == 22 and folder.calls == reads + [("write_text", "utf-8")]
