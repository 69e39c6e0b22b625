"""Where list saves go: list paths that are not plain pathlib paths."""

import json
import types
from pathlib import Path

import pytest

from tidewing_quillery import pagecase

ENTRIES = [{"path": "/docs/new.md", "name": "new.md", "opened_at": 1.5}]


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


@pytest.mark.parametrize("raised, loaded", [
    (None, [{"path": "/from/read_text"}]), (PermissionError(), []), (ValueError(), []), (KeyError(), KeyError),
])
def test_lists_load_through_the_paths_own_read_text(own_state, raised, loaded):
    own_state.stored, own_state.raised = '[{"path": "/from/read_text"}, {"path": ""}]', raised
    for cls in (pagecase.RecentFiles, pagecase.Favorites, pagecase.Workspaces):
        try:
            listed = cls.load()
        except Exception as error:  # noqa: BLE001 - the type is the outcome
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
    (text, encoding), = own_state.written
    assert encoding == "utf-8" and json.loads(text) == favorites.entries


def test_what_json_dumps_returns_goes_to_write_text_as_it_is(own_state, tmp_path, monkeypatch):
    monkeypatch.setattr(pagecase, "json", types.SimpleNamespace(dumps=lambda entries, **options: b"bytes",
                                                                loads=json.loads))
    pagecase.RecentFiles.load().save()
    assert own_state.written == [(b"bytes", "utf-8")]
    plain = pagecase.RecentFiles(tmp_path / "recent.json")
    with pytest.raises(TypeError, match="data must be str, not bytes"):
        plain.save()
    assert not plain.path.exists()
