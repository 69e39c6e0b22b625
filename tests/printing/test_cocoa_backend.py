"""The Cocoa backend against fake AppKit and Foundation: the settings copy
on the caller's thread, the job on the main queue, and its failures."""

import pytest


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
    assert printing._CocoaBackend(window).export_pdf(destination=destination) is None
    assert destination.read_bytes() == b"%PDF-1.4 fake"
    info = journal.entries[-4][2]
    assert [entry[:2] for entry in journal.entries] == [
        ("MainThread", "NSPrintInfo.copy"),
        ("MainThread", "setHorizontalPagination_"),
        ("MainThread", "setJobDisposition_"),
        ("MainThread", "setObject_forKey_"),
        ("MainThread", "addOperationWithBlock_"),
        ("main", "_printOperationWithPrintInfo_"),
        ("main", "setShowsPrintPanel_"),
        ("main", "setShowsProgressPanel_"),
        ("main", "runOperation"),
    ]
    assert info is not cocoa.shared_info
    assert (info.pagination, info.disposition) == ("fit", "save")
    assert info.settings == {"paper": "A4", "saving-url": ("file-url", str(destination))}
    assert journal.entries[-3][2:] == journal.entries[-2][2:] == (False,)
    shared = cocoa.shared_info
    assert (shared.pagination, shared.disposition, shared.settings) == (None, None, {"paper": "A4"})


def test_failed_job_releases_the_export_at_once(printing, cocoa, monkeypatch, window, web_view, tmp_path):
    cocoa.outcome = "raise"
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 60.0)  # a hang here would be the fault
    monkeypatch.setattr(printing.sys, "platform", "darwin")
    bridge = printing.PrintBridge()
    bridge.attach(window)
    with pytest.raises(printing.PrintError, match=r"^the print backend reported success but wrote no file$"):
        bridge.export_pdf(tmp_path / "out.pdf")
    cocoa.loop.drain()
    assert [str(error) for error in cocoa.loop.errors] == ["the print job failed"]
    cocoa.loop.errors.clear()
