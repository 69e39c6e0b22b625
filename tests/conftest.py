"""Shared fixtures: every test runs with a private home directory."""

import pytest


@pytest.fixture(autouse=True)
def private_home(tmp_path_factory, monkeypatch):
    """A fresh HOME with no state-directory override, so nothing touches the real home."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("TIDEWING_MD_STATE_DIR", raising=False)
    return home
