"""The WebKitGTK backend against fake GLib, Gtk and WebKit2: calls, order,
threads, failures and the lock that serialises exports."""

import logging
import os
import sys
import threading
from types import SimpleNamespace

import pytest


@pytest.fixture
def backend(printing, pywebview, window, gtk):
    pywebview.register(window, SimpleNamespace(webview="web view"))
    backend = printing._GtkBackend(window)
    backend.prepare()
    assert backend._webview == "web view"
    return backend


def ui_calls(journal):
    return [entry[1:] for entry in journal.entries if entry[0] == "ui"]


@pytest.mark.parametrize("native", ["top-level window", None])
def test_show_dialog_is_scheduled_on_the_ui_thread(backend, gtk, journal, window, native):
    if native is None:
        del window.native
    release = gtk.loop.hold()
    assert backend.show_dialog() is None  # returns while the UI thread is still busy
    assert journal.calls() == ["GLib.idle_add"]
    release.set()
    gtk.loop.drain()
    assert ui_calls(journal) == [
        ("PrintOperation.new", "web view"),
        ("operation.run_dialog", native),
        ("idle returned", False),
    ]
    assert backend._operation is gtk.operations[0]


def test_export_builds_an_a4_pdf_job_on_the_ui_thread(backend, gtk, journal, tmp_path):
    destination = tmp_path / "my exports" / "Übersicht.pdf"
    destination.parent.mkdir()
    assert backend.export_pdf(destination=destination) is None
    assert destination.read_bytes() == b"%PDF-1.4 fake"
    gtk.loop.drain()
    uri = "file://" + str(tmp_path).replace(" ", "%20") + "/my%20exports/%C3%9Cbersicht.pdf"
    assert journal.entries[0][:2] == ("MainThread", "GLib.idle_add")
    assert ui_calls(journal) == [
        ("GLib.filename_to_uri", str(destination), None),
        ("settings.set", "output-uri", uri),
        ("settings.set", "output-file-format", "pdf"),
        ("GLib.dgettext", "gtk30", "Print to File"),
        ("settings.set_printer", "Print to File"),
        ("PaperSize.new", "iso_a4"),
        ("page_setup.set_paper_size", ("paper", "iso_a4")),  # portrait, GTK's margins
        ("PrintOperation.new", "web view"),
        ("operation.set_print_settings",),
        ("operation.set_page_setup",),
        ("operation.connect", "finished"),
        ("operation.connect", "failed"),
        ("operation.print_",),
        ("idle returned", False),
    ]
    assert backend._operation is gtk.operations[0]
    assert not backend._lock.locked()


def test_page_setup_options_go_to_gtks_page_setup(backend, gtk, journal, tmp_path):
    backend.export_pdf(tmp_path / "out.pdf", paper="Legal", landscape=True, margins_mm=12.5)
    calls = ui_calls(journal)
    start = calls.index(("PaperSize.new", "na_legal"))
    assert calls[start : calls.index(("PrintOperation.new", "web view"))] == [
        ("PaperSize.new", "na_legal"),
        ("page_setup.set_paper_size", ("paper", "na_legal")),
        ("page_setup.set_orientation", "landscape"),
        ("page_setup.set_top_margin", 12.5, "mm"),
        ("page_setup.set_bottom_margin", 12.5, "mm"),
        ("page_setup.set_left_margin", 12.5, "mm"),
        ("page_setup.set_right_margin", 12.5, "mm"),
    ]


def test_without_a_paper_the_page_is_a4(backend, gtk, journal, tmp_path):
    backend.export_pdf(tmp_path / "out.pdf", landscape=True)
    calls = ui_calls(journal)
    assert calls[calls.index(("PaperSize.new", "iso_a4")) : calls.index(("PrintOperation.new", "web view"))] == [
        ("PaperSize.new", "iso_a4"),
        ("page_setup.set_paper_size", ("paper", "iso_a4")),
        ("page_setup.set_orientation", "landscape"),
    ]


def test_bad_options_fail_before_the_ui_thread(printing, backend, gtk, journal, tmp_path):
    with pytest.raises(ValueError, match=r"^paper must be one of 'a3', 'a4', 'a5', 'letter', 'legal', not 'b5'$"):
        backend.export_pdf(tmp_path / "out.pdf", paper="b5")
    assert journal.entries == []


def test_relative_destination_is_written_below_the_current_folder(backend, gtk, journal, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rel dir").mkdir()
    backend.export_pdf(destination=type(tmp_path)("rel dir/page two.pdf"))
    assert (tmp_path / "rel dir" / "page two.pdf").read_bytes() == b"%PDF-1.4 fake"
    assert (
        "ui",
        "GLib.filename_to_uri",
        os.path.join(str(tmp_path), "rel dir", "page two.pdf"),
        None,
    ) in journal.entries


class Unprintable(Exception):
    def __str__(self):
        raise ValueError("no text")


def raise_(error):
    raise error


@pytest.mark.parametrize("failing_step", ["print_", "filename_to_uri", "unprintable"])
def test_a_step_that_raises_on_the_ui_thread_ends_the_wait_at_once(
    printing, backend, gtk, monkeypatch, tmp_path, failing_step
):
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 60.0)  # a hang here would be the fault
    if failing_step == "print_":
        gtk.outcome, message = "raise", "Error printing to file: out of paper"
    elif failing_step == "filename_to_uri":
        gtk.GLib.filename_to_uri = lambda filename, hostname: 1 / 0
        message = "division by zero"
    else:
        gtk.Gtk.PrintSettings = lambda: raise_(Unprintable())
        message = "<exception str\\(\\) failed>"
    with pytest.raises(printing.PrintError, match=rf"^{message}$"):
        backend.export_pdf(tmp_path / "out.pdf")
    assert not backend._lock.locked()  # and the fake loop saw no error: the caller got it


def test_dialog_failure_on_the_ui_thread_is_logged(backend, gtk, caplog):
    gtk.outcome = "raise"
    with caplog.at_level(logging.WARNING, logger="tidewing_quillery.printing"):
        assert backend.show_dialog() is None
        gtk.loop.drain()
    [record] = caplog.records
    assert (record.levelname, record.msg, record.getMessage()) == (
        "WARNING",
        "print dialog failed: %s",
        "print dialog failed: no printers",
    )


def test_file_printer_is_named_in_the_users_language(backend, gtk, journal, tmp_path):
    gtk.translations[("gtk30", "Print to File")] = "In Datei drucken"
    backend.export_pdf(tmp_path / "out.pdf")
    assert ("ui", "settings.set_printer", "In Datei drucken") in journal.entries


def test_reported_failure_raises_its_text(printing, backend, gtk, tmp_path):
    gtk.outcome = ("fail", "Printer not found")
    with pytest.raises(printing.PrintError, match=r"^Printer not found$"):
        backend.export_pdf(tmp_path / "out.pdf")
    assert not backend._lock.locked()


def test_export_times_out_when_no_signal_arrives(printing, backend, gtk, monkeypatch, tmp_path):
    gtk.outcome = "never"
    monkeypatch.setattr(printing, "_EXPORT_TIMEOUT_S", 0.05)
    with pytest.raises(printing.PrintError, match=r"^PDF export timed out$"):
        backend.export_pdf(tmp_path / "out.pdf")
    assert not backend._lock.locked()


def test_exports_run_one_at_a_time(backend, gtk, journal, tmp_path):
    gtk.outcome = "held"
    results = []
    threads = [
        threading.Thread(target=lambda n=n: results.append(backend.export_pdf(tmp_path / f"{n}.pdf")), name=f"host{n}")
        for n in (1, 2)
    ]
    for thread in threads:
        thread.start()
    journal.wait_for("operation.print_")
    threads[1].join(0.2)  # time for a broken lock to let the second export through
    assert journal.calls().count("GLib.idle_add") == 1 and backend._lock.locked()
    gtk.loop.post(lambda: gtk.operations[0].emit("finished"))
    journal.wait_for("operation.print_", count=2)
    assert journal.calls().count("GLib.idle_add") == 2
    gtk.loop.post(lambda: gtk.operations[1].emit("finished"))
    for thread in threads:
        thread.join()
    assert results == [None, None] and not backend._lock.locked()


def test_export_holds_the_lock_as_a_with_statement_does(backend, gtk, journal, tmp_path):
    class InstanceEnter:
        """Methods on the instance only: a with statement does not see them."""

        def __init__(self):
            self.__enter__ = self.__exit__ = lambda *args: None

    backend._lock = InstanceEnter()
    with pytest.raises(AttributeError, match="__enter__"):
        backend.export_pdf(tmp_path / "out.pdf")
    assert journal.entries == []


def test_missing_toolkit_fails_before_the_lock(printing, window, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "gi", None)
    backend = printing._GtkBackend(window)
    backend._lock = None  # taking it would fail differently
    for call in (backend.show_dialog, lambda: backend.export_pdf(tmp_path / "out.pdf")):
        with pytest.raises(ImportError):
            call()
