"""Fixtures for the printing tests: the module, a fake clock, and the toolkit
fakes of fakes/ installed in sys.modules for one test."""

import importlib.util
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest


def _load_fakes():
    """The fakes/ package under a name of its own (tests run in importlib mode)."""
    name = "tidewing_printing_fakes"
    if name not in sys.modules:
        folder = Path(__file__).with_name("fakes")
        spec = importlib.util.spec_from_file_location(
            name, folder / "__init__.py", submodule_search_locations=[str(folder)]
        )
        sys.modules[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sys.modules[name])
    for submodule in ("pywebview", "gi", "appkit", "dotnet"):
        importlib.import_module(f"{name}.{submodule}")
    return sys.modules[name]


fakes = _load_fakes()


@pytest.fixture
def printing():
    from tidewing_quillery import printing

    return printing


class FakeTime:
    """A clock that only moves when slept on."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(printing, monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(printing, "time", fake)
    return fake


@pytest.fixture
def journal():
    return fakes.Journal()


@pytest.fixture
def window():
    return SimpleNamespace(uid="master", native="top-level window")


@pytest.fixture
def pywebview(monkeypatch):
    return fakes.pywebview.PyWebview(monkeypatch)


@pytest.fixture
def short_timeout(printing, monkeypatch):
    """Keeps a broken backend from holding a test for the real 90 seconds."""
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 5.0)


def _loop(name):
    loop = fakes.UiLoop(name)
    yield loop
    loop.stop()
    assert not loop.errors, loop.errors


@pytest.fixture
def ui_loop():
    yield from _loop("ui")


@pytest.fixture
def main_loop():
    yield from _loop("main")


@pytest.fixture
def gtk(monkeypatch, journal, ui_loop, short_timeout):
    kit = fakes.gi.GtkToolkit(journal, ui_loop)
    kit.install(monkeypatch)
    return kit


@pytest.fixture
def cocoa(monkeypatch, journal, main_loop, pywebview, short_timeout):
    kit = fakes.appkit.CocoaToolkit(journal, main_loop)
    kit.install(monkeypatch, pywebview)
    return kit


@pytest.fixture
def dotnet(monkeypatch, journal, short_timeout):
    kit = fakes.dotnet.DotnetToolkit(journal)
    kit.install(monkeypatch)
    yield kit
    kit.join()
