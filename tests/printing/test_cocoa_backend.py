"""The Cocoa backend against fake AppKit and Foundation: the settings copy
on the caller's thread, the job on the main queue, and its failures."""

import logging
import os
from pathlib import Path

import pytest

A4_POINTS = ("size", pytest.approx(595.2756), pytest.approx(841.8898))


@pytest.fixture
def web_view(cocoa, pywebview, window):
    view = cocoa.web_view()
    pywebview.register(window, type("Platform", (), {"webview": view})(), platform="cocoa")
    return view


def test_prepare_and_show_dialog(printing, cocoa, journal, window, web_view):
    backend = printing._CocoaBackend(window)
    assert backend.prepare() is None and vars(backend) == {"window": window}
    assert backend.show_dialog() is None
    cocoa.loop.drain()
    assert journal.entries == [("MainThread", "addOperationWithBlock_"), ("main", "print_webview", web_view)]


def test_show_dialog_before_the_view_exists_schedules_nothing(printing, cocoa, pywebview, journal, window):
    pywebview.register(window, type("Platform", (), {"webview": None})(), platform="cocoa")
    with pytest.raises(printing.PrintError, match=r"^WKWebView not ready$"):
        printing._CocoaBackend(window).show_dialog()
    assert journal.entries == []


def test_export_saves_through_a_private_copy_of_the_print_info(printing, cocoa, journal, window, web_view, tmp_path):
    destination = tmp_path / "out.pdf"
    cocoa.shared_info.settings.update(PaperSize="the shared paper", Orientation="landscape", TopMargin=9.0)
    shared_settings = dict(cocoa.shared_info.settings)
    assert printing._CocoaBackend(window).export_pdf(destination=destination) is None
    assert destination.read_bytes() == b"%PDF-1.4 fake"
    info = cocoa.last_info
    # No paper, orientation or margins are set: the shared settings decide.
    assert journal.entries == [
        ("MainThread", "NSPrintInfo.copy"),
        ("MainThread", "setHorizontalPagination_", "fit"),
        ("MainThread", "setJobDisposition_", "save"),
        ("MainThread", "setObject_forKey_", ("file-url", str(destination)), "saving-url"),
        ("MainThread", "addOperationWithBlock_"),
        ("main", "_printOperationWithPrintInfo_", info),
        ("main", "setShowsPrintPanel_", False),
        ("main", "setShowsProgressPanel_", False),
        ("main", "runOperation"),
    ]
    assert info is not cocoa.shared_info
    assert (info.pagination, info.disposition) == ("fit", "save")
    assert info.settings == {**shared_settings, "saving-url": ("file-url", str(destination))}
    shared = cocoa.shared_info
    assert (shared.pagination, shared.disposition, shared.settings) == (None, None, shared_settings)


def test_page_setup_options_in_points(printing, cocoa, journal, window, web_view, tmp_path):
    printing._CocoaBackend(window).export_pdf(tmp_path / "out.pdf", paper="letter", landscape=True, margins_mm=25.4)
    page_setters = type(cocoa.shared_info).PAGE_SETTERS
    assert [entry[1:] for entry in journal.entries if entry[1] in page_setters] == [
        ("setPaperSize_", ("size", pytest.approx(612.0), pytest.approx(792.0))),
        ("setOrientation_", "landscape"),
        ("setTopMargin_", pytest.approx(72.0)),
        ("setBottomMargin_", pytest.approx(72.0)),
        ("setLeftMargin_", pytest.approx(72.0)),
        ("setRightMargin_", pytest.approx(72.0)),
    ]


@pytest.mark.parametrize(
    "options, expected",
    [
        ({"paper": "a4"}, [("setPaperSize_", A4_POINTS)]),
        ({"landscape": True}, [("setOrientation_", "landscape")]),
        (
            {"margins_mm": 0},
            [(setter, 0.0) for setter in ("setTopMargin_", "setBottomMargin_", "setLeftMargin_", "setRightMargin_")],
        ),
    ],
)
def test_only_the_options_given_are_set(printing, cocoa, journal, window, web_view, tmp_path, options, expected):
    printing._CocoaBackend(window).export_pdf(tmp_path / "out.pdf", **options)
    page_setters = type(cocoa.shared_info).PAGE_SETTERS
    assert [entry[1:] for entry in journal.entries if entry[1] in page_setters] == expected


def test_relative_destination_is_saved_below_the_current_folder(
    printing, cocoa, window, web_view, tmp_path, monkeypatch
):
    monkeypatch.chdir(tmp_path)
    printing._CocoaBackend(window).export_pdf(Path("page two.pdf"))
    assert (tmp_path / "page two.pdf").read_bytes() == b"%PDF-1.4 fake"
    assert cocoa.last_info.settings["saving-url"] == ("file-url", os.path.join(str(tmp_path), "page two.pdf"))


def test_failed_job_ends_the_export_at_once_with_its_text(printing, cocoa, monkeypatch, window, web_view, tmp_path):
    cocoa.outcome = "raise"
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 60.0)  # a hang here would be the fault
    monkeypatch.setattr(printing.sys, "platform", "darwin")
    bridge = printing.PrintBridge()
    bridge.attach(window)
    with pytest.raises(printing.PrintError, match=r"^the print job failed$"):
        bridge.export_pdf(tmp_path / "out.pdf")
    cocoa.loop.drain()  # and the main queue saw no error: the caller got it


def test_dialog_failure_on_the_main_thread_is_logged(printing, cocoa, window, web_view, caplog):
    cocoa.outcome = "raise"
    with caplog.at_level(logging.WARNING, logger="tidewing_quillery.printing"):
        printing._CocoaBackend(window).show_dialog()
        cocoa.loop.drain()
    assert [record.getMessage() for record in caplog.records] == ["print dialog failed: no printers"]
