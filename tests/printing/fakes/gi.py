"""A stand-in for PyGObject's `gi.repository` with GLib, Gtk and WebKit2:
idle callbacks run on a fake GTK main loop, and a print operation writes,
fails or stays silent as the test asks."""

import sys
import types
from types import SimpleNamespace
from urllib.parse import quote, unquote, urlsplit

from . import ToolkitError


class GtkToolkit:
    def __init__(self, journal, loop):
        self.journal = journal
        self.loop = loop
        self.outcome = "write"  # "write", "empty", "never", "held", "raise", or ("fail", message)
        self.translations = {}  # (domain, msgid) -> text, as GLib.dgettext finds them
        self.operations = []
        record = journal.record

        def idle_add(callback):
            record("GLib.idle_add")
            loop.post(lambda: record("idle returned", callback()))

        def dgettext(domain, msgid):
            record("GLib.dgettext", domain, msgid)
            return self.translations.get((domain, msgid), msgid)

        def filename_to_uri(filename, hostname):
            record("GLib.filename_to_uri", filename, hostname)
            if not filename.startswith("/"):  # as GLib refuses it
                raise ToolkitError(f"The pathname \u201c{filename}\u201d is not an absolute path")
            return "file://" + quote(filename)

        self.GLib = SimpleNamespace(idle_add=idle_add, dgettext=dgettext, filename_to_uri=filename_to_uri)
        self.Gtk = SimpleNamespace(
            PrintSettings=lambda: Recorder(record, "settings"),
            PageSetup=lambda: Recorder(record, "page_setup"),
            PaperSize=SimpleNamespace(new=lambda name: (record("PaperSize.new", name), ("paper", name))[1]),
            PageOrientation=SimpleNamespace(PORTRAIT="portrait", LANDSCAPE="landscape"),
            Unit=SimpleNamespace(MM="mm", POINTS="points"),
            PRINT_SETTINGS_OUTPUT_URI="output-uri",
            PRINT_SETTINGS_OUTPUT_FILE_FORMAT="output-file-format",
        )
        self.WebKit2 = SimpleNamespace(PrintOperation=SimpleNamespace(new=self._new_operation))

    def install(self, monkeypatch):
        gi = types.ModuleType("gi")
        repository = types.ModuleType("gi.repository")
        repository.GLib, repository.Gtk, repository.WebKit2 = self.GLib, self.Gtk, self.WebKit2
        gi.repository = repository
        monkeypatch.setitem(sys.modules, "gi", gi)
        monkeypatch.setitem(sys.modules, "gi.repository", repository)

    def _new_operation(self, webview):
        self.journal.record("PrintOperation.new", webview)
        operation = PrintOperation(self)
        self.operations.append(operation)
        return operation


class Recorder:
    """GTK's settings objects: every method call is recorded and kept."""

    def __init__(self, record, label):
        self._record, self._label = record, label
        self.values = {}

    def __getattr__(self, method):
        def call(*args):
            self._record(f"{self._label}.{method}", *args)
            self.values[method if len(args) == 1 else args[0]] = args[-1]

        return call


class PrintOperation:
    def __init__(self, kit):
        self._kit = kit
        self._handlers = {}
        self.settings = None

    def set_print_settings(self, settings):
        self._kit.journal.record("operation.set_print_settings")
        self.settings = settings

    def set_page_setup(self, page_setup):
        self._kit.journal.record("operation.set_page_setup")

    def connect(self, signal, handler):
        self._kit.journal.record("operation.connect", signal)
        self._handlers[signal] = handler

    def run_dialog(self, parent):
        self._kit.journal.record("operation.run_dialog", parent)
        if self._kit.outcome == "raise":
            raise ToolkitError("no printers")

    def print_(self):
        self._kit.journal.record("operation.print_")
        outcome = self._kit.outcome
        if outcome == "raise":
            raise ToolkitError("Error printing to file: out of paper")
        if outcome in ("write", "empty"):
            path = unquote(urlsplit(self.settings.values["output-uri"]).path)
            with open(path, "wb") as pdf:
                pdf.write(b"%PDF-1.4 fake" if outcome == "write" else b"")
            self.emit("finished")
        elif isinstance(outcome, tuple):
            self.emit("failed", ToolkitError(outcome[1]))
            self.emit("finished")  # GTK emits "finished" after "failed" as well

    def emit(self, signal, *args):
        self._handlers[signal](self, *args)
