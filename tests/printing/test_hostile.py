"""Hostile input for the printing module: every public class, method and
function with wrong types and host objects that misbehave (windows, pywebview
registries, backends, destinations, toolkit objects, rebound module names),
each call in a forked child that must exit normally. Where the documents fix
the outcome, it is checked too."""

import itertools
import sys
import types
from pathlib import Path

import pytest

import hostile
from hostile import (HUGE, BadBool, BadCompare, BadHash, Failure, LyingStr, PathRecord, RaisingContainer, Record,
                     StrSub, WrongBool, fail, host_path_class, raising, returning, stat_like)
from tidewing_quillery import printing

UID = "window"


def raising_property(name):
    """A class whose attribute `name` raises Failure when read."""
    return type("Raising", (), {name: property(fail)})


def window(**members):
    return Record(**{"uid": UID, "native": None, **members})


def install_webview(instances=None, guilib=True, platform_object=None, **webview_members):
    """A `webview` package in sys.modules (of this child) whose platform module
    registers `platform_object` under the window's uid."""
    webview = types.ModuleType("webview")
    platform = types.ModuleType("webview.platforms.gtk")
    if instances is None:
        instances = {UID: platform_object if platform_object is not None else Record(webview="widget")}
    platform.BrowserView = Record(instances=instances)
    if guilib:
        webview.guilib = platform
    for name, value in webview_members.items():
        setattr(webview, name, value)
    sys.modules["webview"] = webview
    sys.modules["webview.platforms.gtk"] = platform
    return webview


def expect(outcome, expected):
    """`expected` is an exception type's name (a subclass will do), "returned", or None for any outcome."""
    if expected == "returned":
        assert outcome.kind == "returned", outcome.text
    elif expected is not None:
        assert outcome.raised(expected), outcome.text


def cases(table):
    return [pytest.param(call, expected, id=name) for name, (call, expected) in table.items()]


# ------------------------------------------------------------ the lookups

LOOKUPS = ["_browser_view", "_gtk_webview", "_cocoa_webview", "_edge_core"]

# Windows, and what the documented lookup gives for each: the registry holds
# a platform object for the uid "window" whose `webview` is a plain str.
WINDOWS = {
    "None": (None, "AttributeError"), "int": (5, "AttributeError"), "without uid": (Record(), "AttributeError"),
    "uid unhashable": (window(uid=BadHash()), "Failure"), "uid lying str": (window(uid=LyingStr(UID)), "Failure"),
    "uid raises": (raising_property("uid")(), "Failure"), "uid huge": (window(uid=HUGE), "PrintError"),
    "uid str subclass": (window(uid=StrSub(UID)), "returned"),
}


@pytest.mark.parametrize("name", WINDOWS)
@pytest.mark.parametrize("lookup", ["_browser_view", "_edge_core"])
def test_lookups_with_hostile_windows(lookup, name):
    given, expected = WINDOWS[name]

    def call():
        install_webview()
        return getattr(printing, lookup)(given)

    if lookup == "_edge_core" and expected == "returned":
        expected = "PrintError"  # a str has no CoreWebView2
    expect(hostile.run_one(call), expected)


def guilib_raising():
    webview = install_webview(guilib=False)
    webview.__class__ = type("RaisingModule", (types.ModuleType,), {"guilib": property(fail)})


def odd_platform_module_first():
    sys.modules["webview.platforms.odd"] = raising_property("BrowserView")()
    install_webview(guilib=False)


# pywebview as a host may have left it: how to install that, the lookups
# that read what misbehaves, and what their documented steps give.
REGISTRIES = {
    "pywebview missing": (lambda: sys.modules.__setitem__("webview", None), LOOKUPS, "ImportError"),
    "guilib raises": (guilib_raising, ["_browser_view"], "Failure"),
    "BrowserView with a raising truth": (
        lambda: install_webview().guilib.__setattr__("BrowserView", BadBool()), ["_browser_view"], "Failure"),
    "instances with a raising truth": (lambda: install_webview(instances=BadBool()), ["_browser_view"], "Failure"),
    "instances raising on membership": (
        lambda: install_webview(instances=RaisingContainer()), ["_browser_view"], "Failure"),
    "instances not a container": (lambda: install_webview(instances=5), ["_browser_view"], "TypeError"),
    "instances whose lookup raises": (lambda: install_webview(
        instances=type("Lookup", (dict,), {"__getitem__": fail})({UID: None})), ["_browser_view"], "Failure"),
    "a platform module raising on BrowserView": (odd_platform_module_first, ["_browser_view"], "Failure"),
    "platform object raising on webview": (
        lambda: install_webview(platform_object=raising_property("webview")()),
        ["_gtk_webview", "_cocoa_webview", "_edge_core"], "Failure"),
    "platform object with a raising browser": (
        lambda: install_webview(platform_object=Record(browser=BadBool())), ["_edge_core"], "Failure"),
    "control raising on CoreWebView2": (lambda: install_webview(
        platform_object=Record(webview=raising_property("CoreWebView2")())), ["_edge_core"], "Failure"),
}


def registry_cases():
    for state, (_, lookups, _) in REGISTRIES.items():
        for lookup in lookups:
            yield pytest.param(state, lookup, id=f"{lookup}-{state}")


@pytest.mark.parametrize("state, lookup", list(registry_cases()))
def test_lookups_in_hostile_registries(state, lookup):
    install, _, expected = REGISTRIES[state]

    def call():
        install()
        return getattr(printing, lookup)(window())

    expect(hostile.run_one(call), expected)


# ---------------------------------------------------------- the bridge


def bridge_with(backend):
    bridge = printing.PrintBridge()
    bridge._backend = backend
    return bridge


def writing_backend(**members):
    """A backend record that writes a small file at the destination."""

    def export(destination):
        Path(str(destination)).write_bytes(b"%PDF")

    return Record(**{"name": "host", "supports_pdf": True, "show_dialog": returning(None), "export_pdf": export,
                     **members})


# Backends a host may have bound, and what the documented steps of status(),
# print_dialog() and export_pdf() give with each (where not "returned").
BACKENDS = {
    # "bound" is the truth test of print_dialog's first step
    "raising truth": (BadBool(), {"status": "Failure", "print_dialog": "Failure", "export_pdf": "Failure"}),
    "name unhashable": (writing_backend(name=BadHash()), {}),
    "name int": (writing_backend(name=5), {}),
    "name lying str": (writing_backend(name=LyingStr("host")), {}),
    "without name": (Record(supports_pdf=True, show_dialog=returning(None), export_pdf=returning(None)),
                     {"status": "AttributeError", "print_dialog": "AttributeError", "export_pdf": None}),
    "supports_pdf with a raising truth": (writing_backend(supports_pdf=BadBool()),
                                          {"status": "Failure", "export_pdf": "Failure"}),
    "supports_pdf with a wrong truth": (writing_backend(supports_pdf=WrongBool()),
                                        {"status": "TypeError", "export_pdf": "TypeError"}),
    "show_dialog and export_pdf raise": (writing_backend(show_dialog=fail, export_pdf=fail),
                                         {"print_dialog": "Failure", "export_pdf": "Failure"}),
    "export_pdf raises KeyboardInterrupt": (writing_backend(export_pdf=raising(KeyboardInterrupt())),
                                            {"export_pdf": "KeyboardInterrupt"}),
    "export_pdf writes nothing": (writing_backend(export_pdf=returning(None)), {"export_pdf": "PrintError"}),
}
BRIDGE_CALLS = {
    "status": lambda bridge, at: bridge.status(),
    "print_dialog": lambda bridge, at: bridge.print_dialog(),
    "export_pdf": lambda bridge, at: bridge.export_pdf(at / "out" / "a.pdf"),
}


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("method", BRIDGE_CALLS)
def test_bridge_with_a_hostile_backend(tmp_path, method, backend):
    bound, expected = BACKENDS[backend]
    outcome = hostile.run_one(lambda: BRIDGE_CALLS[method](bridge_with(bound), tmp_path))
    expect(outcome, expected.get(method, "returned"))


def destination_class(**methods):
    return lambda at: host_path_class(**methods)(at / "b.pdf")


def lying_destination(**members):
    """A path-like record of a real file, whose given members lie."""

    def make(at):
        record = PathRecord(at / "b.pdf", **members)
        record._members["expanduser"] = returning(record)
        return record

    return make


def stat_of_size(size):
    """stat() giving `size`, as of a file that changes at every look."""
    changes = itertools.count()
    return lambda: stat_like(st_size=size, st_mtime_ns=next(changes))


DESTINATIONS = {
    "None": (lambda at: None, "AttributeError"),
    "str": (lambda at: str(at / "a.pdf"), "AttributeError"),
    "int": (lambda at: 5, "AttributeError"),
    "expanduser returns None": (lambda at: Record(expanduser=returning(None)), "AttributeError"),
    "expanduser returns a str": (destination_class(expanduser=lambda self: str(self)), "AttributeError"),
    "parent whose mkdir raises": (lambda at: Record(expanduser=returning(Record(parent=Record(mkdir=fail)))),
                                  "Failure"),
    "is_file with a raising truth": (destination_class(is_file=returning(BadBool())), "Failure"),
    "st_size str": (lying_destination(stat=stat_of_size("3")), "returned"),
    "st_size uncomparable": (lying_destination(stat=stat_of_size(BadCompare())), "Failure"),
    "st_size huge": (lying_destination(stat=stat_of_size(HUGE)), "returned"),
    "stat raises": (lying_destination(stat=fail), "Failure"),
    "200k characters": (lambda at: at / ("x" * 200_000), None),
    "NUL": (lambda at: at / "a\0b.pdf", "ValueError"),
    "surrogate": (lambda at: at / "a\ud800.pdf", None),
}


@pytest.mark.parametrize("name", DESTINATIONS)
def test_export_to_hostile_destinations(tmp_path, name):
    make, expected = DESTINATIONS[name]
    outcome = hostile.run_one(lambda: bridge_with(writing_backend()).export_pdf(make(tmp_path)))
    expect(outcome, expected)


class Clock:
    """A clock that moves only when slept on, with hostile readings if asked."""

    def __init__(self, reading=None, sleep=None):
        self.now = 0.0
        self.reading, self.sleeper = reading, sleep

    def monotonic(self):
        return self.now if self.reading is None else self.reading()

    def sleep(self, seconds):
        if self.sleeper is not None:
            self.sleeper(seconds)
        self.now += seconds


ATTACHES = {
    "clock reads a str": ({"time": Clock(reading=returning("now"))}, "TypeError"),
    "clock reads nan": ({"time": Clock(reading=returning(float("nan")))}, "returned"),
    "clock raises": ({"time": Clock(reading=fail)}, "Failure"),
    "sleep raises": ({"time": Clock(sleep=fail), "_make_backend": fail}, "Failure"),
    "backend maker returns None": ({"time": Clock(), "_make_backend": returning(None)}, "returned"),
    "backend maker raises KeyboardInterrupt": ({"time": Clock(), "_make_backend": raising(KeyboardInterrupt())},
                                               "KeyboardInterrupt"),
    "log raises": ({"time": Clock(), "_make_backend": returning(writing_backend()),
                    "log": Record(info=fail, warning=fail)}, "Failure"),
    "backend name unhashable": ({"time": Clock(), "_make_backend": returning(writing_backend(name=BadHash()))},
                                None),
}


@pytest.mark.parametrize("name", ATTACHES)
def test_attach_with_hostile_names(name):
    rebound, expected = ATTACHES[name]

    def call():
        for attribute, value in rebound.items():
            setattr(printing, attribute, value)
        return printing.PrintBridge().attach(window())

    expect(hostile.run_one(call), expected)


PLATFORMS = {"int": (5, "AttributeError"), "None": (None, "AttributeError"), "bytes": (b"linux", "TypeError"),
             "str subclass": (StrSub("linux"), "returned"), "lying str": (LyingStr("linux"), "Failure")}


@pytest.mark.parametrize("name", PLATFORMS)
def test_make_backend_on_hostile_platforms(name):
    platform, expected = PLATFORMS[name]

    def call():
        printing.sys = Record(platform=platform)
        return printing._make_backend(window())

    expect(hostile.run_one(call), expected)


# -------------------------------------------------------- the backends


class Operation:
    """A WebKit2.PrintOperation whose print_ finishes at once, or fails with `error`."""

    def __init__(self, error=None):
        self.handlers, self.error = {}, error

    def set_print_settings(self, settings):
        pass

    set_page_setup = run_dialog = set_print_settings

    def connect(self, signal, handler):
        self.handlers[signal] = handler

    def print_(self):
        if self.error is not None:
            self.handlers["failed"](self, self.error)
        self.handlers["finished"](self)


def install_gtk(idle_add=None, new_operation=None):
    """gi.repository with idle callbacks run at once (or as `idle_add` does),
    settings that accept anything, and operations from `new_operation`."""
    def settings(*args):
        return Record(set=returning(None), set_printer=returning(None), set_paper_size=returning(None))

    repository = types.ModuleType("gi.repository")
    repository.GLib = Record(idle_add=idle_add or (lambda callback: callback()),
                             filename_to_uri=lambda name, host: "file://" + name, dgettext=lambda domain, text: text)
    repository.Gtk = Record(PrintSettings=settings, PageSetup=settings, PaperSize=Record(new=returning("A4")),
                            PRINT_SETTINGS_OUTPUT_URI="uri", PRINT_SETTINGS_OUTPUT_FILE_FORMAT="format",
                            PAPER_NAME_A4="iso_a4")
    repository.WebKit2 = Record(PrintOperation=Record(new=new_operation or (lambda view: Operation())))
    gi = types.ModuleType("gi")
    gi.repository = repository
    sys.modules["gi"], sys.modules["gi.repository"] = gi, repository


def gtk_backend(prepared=True):
    backend = printing._GtkBackend(window())
    if prepared:
        backend._webview = "widget"
    return backend


class NoStatePeer(printing._GtkBackend):
    def __init__(self, window):  # never calls the base constructor
        pass


GTK = {
    "export: idle_add raises": (lambda at: (install_gtk(idle_add=fail), gtk_backend().export_pdf(at)), "Failure"),
    "export: no operation made": (lambda at: (install_gtk(new_operation=returning(None)),
                                              setattr(printing, "_EXPORT_TIMEOUT_S", 0.01),
                                              gtk_backend().export_pdf(at)), None),
    "export: failed with an error whose str raises": (
        lambda at: (install_gtk(new_operation=lambda view: Operation(error=type("Error", (), {"__str__": fail})())),
                    gtk_backend().export_pdf(at)), None),
    "export: failed with an error whose str is 200k characters": (
        lambda at: (install_gtk(new_operation=lambda view: Operation(error=Failure("x" * 200_000))),
                    gtk_backend().export_pdf(at)), "PrintError"),
    "export: never prepared": (lambda at: (install_gtk(), gtk_backend(prepared=False).export_pdf(at)), None),
    "export: subclass without state": (lambda at: (install_gtk(), NoStatePeer(window()).export_pdf(at)),
                                       "AttributeError"),
    "dialog: native raising": (lambda at: (install_gtk(), printing._GtkBackend(
        raising_property("native")()).show_dialog()), None),
    "prepare: without toolkit": (lambda at: printing._GtkBackend(window()).prepare(), None),
}
for label, timeout, expected in [("huge", HUGE, "OverflowError"), ("nan", float("nan"), "PrintError"),
                                 ("negative", -1.0, "PrintError"), ("str", "90", "TypeError"),
                                 ("uncomparable", BadCompare(), "Failure")]:
    GTK[f"export: timeout {label}, no completion"] = (
        lambda at, t=timeout: (install_gtk(idle_add=returning(0)), setattr(printing, "_EXPORT_TIMEOUT_S", t),
                               gtk_backend().export_pdf(at)), expected)


@pytest.mark.parametrize("call, expected", cases(GTK))
def test_gtk_backend(tmp_path, call, expected):
    expect(hostile.run_one(lambda: call(tmp_path / "a.pdf")), expected)


OTHER_BACKENDS = {
    "cocoa dialog without toolkit": (lambda at: printing._CocoaBackend(window()).show_dialog(), "ImportError"),
    "cocoa export without toolkit": (lambda at: printing._CocoaBackend(window()).export_pdf(at), "ImportError"),
    "webview2 export, core raising": (lambda at: (install_webview(platform_object=Record(webview=Record(
        CoreWebView2=Record(PrintToPdfAsync=fail)))), printing._EdgeChromiumBackend(window()).export_pdf(at)),
        "PrintError"),
    "webview2 export, no pythonnet": (lambda at: (install_webview(platform_object=Record(webview=Record(
        CoreWebView2=Record(PrintToPdfAsync=returning(None))))), sys.modules.__setitem__("System", None),
        printing._EdgeChromiumBackend(window()).export_pdf(at)), "PrintError"),
    "webview2 dialog raising KeyboardInterrupt": (lambda at: (install_webview(platform_object=Record(webview=Record(
        CoreWebView2=Record(ShowPrintUI=raising(KeyboardInterrupt()))))),
        printing._EdgeChromiumBackend(window()).show_dialog()), "KeyboardInterrupt"),
    "base backend, other arguments": (lambda at: printing._Backend(BadHash()).export_pdf(destination=BadHash()),
                                      "NotImplementedError"),
    "base prepare on another object": (lambda at: printing._Backend.prepare(5), None),
    "base constructor with no window": (lambda at: printing._Backend(), "TypeError"),
    "settle_ms rebound": (lambda at: (setattr(printing, "_SETTLE_MS", BadHash()), printing.settle_ms()), "returned"),
    "available with a backend of raising truth": (lambda at: bridge_with(BadBool()).available, "returned"),
    "PrintError with host objects": (lambda at: str(printing.PrintError(BadHash(), "x" * 200_000)), None),
}


@pytest.mark.parametrize("call, expected", cases(OTHER_BACKENDS))
def test_other_backends(tmp_path, call, expected):
    expect(hostile.run_one(lambda: call(tmp_path / "a.pdf")), expected)
