"""The WebView2 backend against fake pythonnet modules and a CoreWebView2."""

import os
from pathlib import Path
from types import SimpleNamespace

import pytest


@pytest.fixture
def core(dotnet, pywebview, window):
    core = dotnet.core()
    pywebview.register(window, SimpleNamespace(webview=SimpleNamespace(CoreWebView2=core)), platform="winforms")
    return core


def test_show_dialog_calls_the_print_ui_directly(printing, dotnet, journal, window, core):
    backend = printing._EdgeChromiumBackend(window)
    assert backend.prepare() is None and backend.show_dialog() is None
    assert journal.entries == [("MainThread", "ShowPrintUI")]


def test_operations_before_initialisation(printing, dotnet, pywebview, journal, window, tmp_path):
    pywebview.register(window, SimpleNamespace(webview=SimpleNamespace(CoreWebView2=None)), platform="winforms")
    backend = printing._EdgeChromiumBackend(window)
    for call in (backend.prepare, backend.show_dialog, lambda: backend.export_pdf(tmp_path / "out.pdf")):
        with pytest.raises(printing.PrintError, match=r"^CoreWebView2 not initialised$"):
            call()
    assert journal.entries == []


@pytest.mark.parametrize("outcome, written", [("write", True), ("fault", False)])
def test_export_returns_when_the_task_completes(printing, dotnet, journal, window, core, tmp_path, outcome, written):
    dotnet.outcome = outcome
    del core.Environment  # not needed without print settings
    destination = tmp_path / "out.pdf"
    assert printing._EdgeChromiumBackend(window).export_pdf(destination=destination) is None
    assert destination.exists() is written
    # No print settings, so WebView2's own paper, orientation and margins apply.
    assert journal.entries == [
        ("MainThread", "PrintToPdfAsync", str(destination), None),
        ("MainThread", "Action[]", dotnet.Task),
        ("MainThread", "ContinueWith"),
    ]


def test_page_setup_options_in_inches(printing, dotnet, journal, window, core, tmp_path):
    printing._EdgeChromiumBackend(window).export_pdf(tmp_path / "out.pdf", paper="A3", landscape=True, margins_mm=12.7)
    [settings] = [entry[3] for entry in journal.entries if entry[1] == "PrintToPdfAsync"]
    assert settings.values == {
        "PageWidth": pytest.approx(297 / 25.4),
        "PageHeight": pytest.approx(420 / 25.4),
        "Orientation": "landscape",
        "MarginTop": 0.5,
        "MarginBottom": 0.5,
        "MarginLeft": 0.5,
        "MarginRight": 0.5,
    }


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            {"paper": "a4"},
            {"PageWidth": pytest.approx(8.2677, abs=1e-4), "PageHeight": pytest.approx(11.6929, abs=1e-4)},
        ),
        ({"landscape": True}, {"Orientation": "landscape"}),
        ({"margins_mm": 0}, {"MarginTop": 0.0, "MarginBottom": 0.0, "MarginLeft": 0.0, "MarginRight": 0.0}),
    ],
)
def test_only_the_options_given_are_set(printing, dotnet, journal, window, core, tmp_path, options, expected):
    printing._EdgeChromiumBackend(window).export_pdf(tmp_path / "out.pdf", **options)
    [settings] = [entry[3] for entry in journal.entries if entry[1] == "PrintToPdfAsync"]
    assert journal.calls()[0] == "CreatePrintSettings" and settings.values == expected


def test_relative_destination_goes_to_webview2_as_an_absolute_path(
    printing, dotnet, journal, window, core, tmp_path, monkeypatch
):
    monkeypatch.chdir(tmp_path)
    printing._EdgeChromiumBackend(window).export_pdf(Path("page two.pdf"))
    assert (tmp_path / "page two.pdf").read_bytes() == b"%PDF-1.4 fake"
    [path] = [entry[2] for entry in journal.entries if entry[1] == "PrintToPdfAsync"]
    assert path == os.path.join(str(tmp_path), "page two.pdf")


def test_failure_to_start_is_chained(printing, dotnet, window, core, tmp_path):
    dotnet.outcome = "raise"
    with pytest.raises(printing.PrintError) as caught:
        printing._EdgeChromiumBackend(window).export_pdf(tmp_path / "out.pdf")
    assert str(caught.value) == "PrintToPdfAsync failed: The RPC server is unavailable."
    assert type(caught.value.__cause__).__name__ == "ToolkitError"
    assert caught.value.__context__ is caught.value.__cause__ and caught.value.__suppress_context__


def test_export_times_out_when_the_task_never_completes(printing, dotnet, monkeypatch, window, core, tmp_path):
    dotnet.outcome = "never"
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 0.05)
    with pytest.raises(printing.PrintError, match=r"^PDF export timed out$"):
        printing._EdgeChromiumBackend(window).export_pdf(tmp_path / "out.pdf")
