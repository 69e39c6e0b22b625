"""Hostile input for the printing module: every public class, method and
function with wrong types and host objects that misbehave (windows, pywebview
registries, backends, destinations, page-setup options, toolkit objects,
rebound module names), each call in a forked child where it must end
normally. Where the documents fix the outcome, it is checked too."""

import itertools
import sys
import types
from pathlib import Path

import forked
import pytest
from hostile import (
    HUGE,
    LONG,
    BadBool,
    BadCompare,
    BadHash,
    Failure,
    LyingStr,
    PathRecord,
    RaisingContainer,
    Record,
    StrSub,
    WrongBool,
    fail,
    host_path_class,
    raising,
    returning,
    stat_like,
)

from tidewing_quillery import printing

UID = "window"

# Every case of this module by name: its call, a function of the folder the
# case may write in, and the outcome the documented steps give (see
# forked.Cases). The tables below fill it.
CASES = forked.Cases()


@pytest.fixture(scope="module")
def outcomes(request, tmp_path_factory):
    return CASES.run(request, tmp_path_factory.mktemp("hostile"), isolate=[printing])


def single(table):
    """Cases of one call each, from {name: (call, expected)}."""
    return {name: ((call,), expected) for name, (call, expected) in table.items()}


def raising_property(name):
    """A class whose attribute `name` raises Failure when read."""
    return type("Raising", (), {name: property(fail)})


def window(**members):
    return Record(**{"uid": UID, "native": None, **members})


def install_webview(instances=None, guilib=True, platform_object=None):
    """A `webview` package in sys.modules (of the child) whose platform module
    registers `platform_object` under the window's uid."""
    webview = types.ModuleType("webview")
    platform = types.ModuleType("webview.platforms.gtk")
    if instances is None:
        instances = {UID: platform_object if platform_object is not None else Record(webview="widget")}
    platform.BrowserView = Record(instances=instances)
    if guilib:
        webview.guilib = platform
    sys.modules["webview"] = webview
    sys.modules["webview.platforms.gtk"] = platform
    return webview


# ------------------------------------------------------------ the lookups

LOOKUPS = ["_browser_view", "_gtk_webview", "_cocoa_webview", "_edge_core"]

# Windows, and what the documented lookup gives for each: the registry holds
# a platform object for the uid "window" whose `webview` is a plain str.
WINDOWS = {
    "None": (None, "AttributeError"),
    "without uid": (Record(), "AttributeError"),
    "uid unhashable": (window(uid=BadHash()), "Failure"),
    "uid lying str": (window(uid=LyingStr(UID)), "Failure"),
    "uid raises": (raising_property("uid")(), "Failure"),
    "uid huge": (window(uid=HUGE), "PrintError"),
    "uid str subclass": (window(uid=StrSub(UID)), "returned"),
}


def looked_up(lookup, install, given):
    """A lookup of the window `given`, after `install()`."""
    return lambda at: (install(), getattr(printing, lookup)(given))[1]


CASES.add(
    single(
        {
            f"_browser_view-window {name}": (looked_up("_browser_view", install_webview, given), expected)
            for name, (given, expected) in WINDOWS.items()
        }
    )
)
# The platform object's webview is a str, which has no CoreWebView2.
CASES.add(
    single(
        {
            f"_edge_core-window {name}": (
                looked_up("_edge_core", install_webview, given),
                "PrintError" if expected == "returned" else expected,
            )
            for name, (given, expected) in WINDOWS.items()
        }
    )
)


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
        lambda: install_webview().guilib.__setattr__("BrowserView", BadBool()),
        ["_browser_view"],
        "Failure",
    ),
    "instances with a raising truth": (lambda: install_webview(instances=BadBool()), ["_browser_view"], "Failure"),
    "instances raising on membership": (
        lambda: install_webview(instances=RaisingContainer()),
        ["_browser_view"],
        "Failure",
    ),
    "instances not a container": (lambda: install_webview(instances=5), ["_browser_view"], "TypeError"),
    "instances whose lookup raises": (
        lambda: install_webview(instances=type("Lookup", (dict,), {"__getitem__": fail})({UID: None})),
        ["_browser_view"],
        "Failure",
    ),
    "a platform module raising on BrowserView": (odd_platform_module_first, ["_browser_view"], "Failure"),
    "platform object raising on webview": (
        lambda: install_webview(platform_object=raising_property("webview")()),
        ["_gtk_webview", "_cocoa_webview", "_edge_core"],
        "Failure",
    ),
    "platform object with a raising browser": (
        lambda: install_webview(platform_object=Record(browser=BadBool())),
        ["_edge_core"],
        "Failure",
    ),
    "control raising on CoreWebView2": (
        lambda: install_webview(platform_object=Record(webview=raising_property("CoreWebView2")())),
        ["_edge_core"],
        "Failure",
    ),
}
CASES.add(
    single(
        {
            f"{lookup}-{state}": (looked_up(lookup, install, window()), expected)
            for state, (install, lookups, expected) in REGISTRIES.items()
            for lookup in lookups
        }
    )
)


# ---------------------------------------------------------- the bridge


def bridge_with(backend):
    bridge = printing.PrintBridge()
    bridge._backend = backend
    return bridge


def writing_backend(**members):
    """A backend record that writes a small file at the destination."""

    def export(destination, **options):
        Path(str(destination)).write_bytes(b"%PDF")

    members = {
        "name": "host",
        "supports_pdf": True,
        "page_options": ("paper", "landscape", "margins_mm"),
        "show_dialog": returning(None),
        "export_pdf": export,
        **members,
    }
    return Record(**members)


# Backends a host may have bound, and what the documented steps of status(),
# print_dialog() and export_pdf() give with each (where not "returned").
BACKENDS = {
    # "bound" is the truth test of print_dialog's first step
    "raising truth": (BadBool(), {"status": "Failure", "print_dialog": "Failure", "export_pdf": "Failure"}),
    "name unhashable": (writing_backend(name=BadHash()), {}),
    "name int": (writing_backend(name=5), {}),
    "name lying str": (writing_backend(name=LyingStr("host")), {}),
    "without name": (
        Record(supports_pdf=True, show_dialog=returning(None), export_pdf=returning(None)),
        {"status": "AttributeError", "print_dialog": "AttributeError", "export_pdf": None},
    ),
    "supports_pdf with a raising truth": (
        writing_backend(supports_pdf=BadBool()),
        {"status": "Failure", "export_pdf": "Failure"},
    ),
    "supports_pdf with a wrong truth": (
        writing_backend(supports_pdf=WrongBool()),
        {"status": "TypeError", "export_pdf": "TypeError"},
    ),
    "show_dialog and export_pdf raise": (
        writing_backend(show_dialog=fail, export_pdf=fail),
        {"print_dialog": "Failure", "export_pdf": "Failure"},
    ),
    "export_pdf raises KeyboardInterrupt": (
        writing_backend(export_pdf=raising(KeyboardInterrupt())),
        {"export_pdf": "KeyboardInterrupt"},
    ),
    "page_options raising": (writing_backend(page_options=RaisingContainer()), {"export_pdf": None}),
}
BRIDGE_CALLS = {
    "status": lambda bridge, at: bridge.status(),
    "print_dialog": lambda bridge, at: bridge.print_dialog(),
    "export_pdf": lambda bridge, at: bridge.export_pdf(at / "out" / "a.pdf", paper="letter"),
}
CASES.add(
    single(
        {
            f"{method}-backend {name}": (
                lambda at, call=call, bound=bound: call(bridge_with(bound), at),
                expected.get(method, "returned"),
            )
            for name, (bound, expected) in BACKENDS.items()
            for method, call in BRIDGE_CALLS.items()
        }
    )
)


def destination_class(**methods):
    return lambda at: host_path_class(**methods)(at / "b.pdf")


def lying_destination(**members):
    """A path-like record of a real file, whose given members lie; its folder
    resolves to one whose child is the record again, so that the checks of
    the file, which look at the destination with its folder resolved, meet
    the lies."""

    def make(at):
        record = PathRecord(at / "b.pdf", **members)
        resolved_folder = PathRecord(at, joinpath=lambda name: record)
        record._members.update(expanduser=returning(record), parent=PathRecord(at, resolve=returning(resolved_folder)))
        return record

    return make


def stat_of_size(size):
    """stat() giving `size`, as of a file that changes at every look."""
    changes = itertools.count()
    return lambda: stat_like(st_size=size, st_mtime_ns=next(changes))


DESTINATIONS = {
    "None": (lambda at: None, "AttributeError"),
    "int": (lambda at: 5, "AttributeError"),
    "expanduser returns None": (lambda at: Record(expanduser=returning(None)), "AttributeError"),
    "expanduser returns a str": (destination_class(expanduser=lambda self: str(self)), "AttributeError"),
    "parent whose mkdir raises": (
        lambda at: Record(expanduser=returning(Record(parent=Record(mkdir=fail)))),
        "Failure",
    ),
    "is_file with a raising truth": (destination_class(is_file=returning(BadBool())), "Failure"),
    "st_size str": (lying_destination(stat=stat_of_size("3")), "returned"),
    "st_size uncomparable": (lying_destination(stat=stat_of_size(BadCompare())), "Failure"),
    "st_size huge": (lying_destination(stat=stat_of_size(HUGE)), "returned"),
    "stat raises": (lying_destination(stat=fail), "Failure"),
    "200k characters": (lambda at: at / LONG, None),
    "NUL": (lambda at: at / "a\0b.pdf", "ValueError"),
    "surrogate": (lambda at: at / "a\ud800.pdf", None),
}
CASES.add(
    single(
        {
            f"destination {name}": (lambda at, make=make: bridge_with(writing_backend()).export_pdf(make(at)), expected)
            for name, (make, expected) in DESTINATIONS.items()
        }
    )
)

# Page-setup options: a paper is one of five names, landscape a bool, the
# margins None or a number that leaves room on the page.
OPTIONS = {
    "paper=None": ({"paper": None}, "returned"),
    "paper=str subclass": ({"paper": StrSub("letter")}, "returned"),
    "paper=lying str": ({"paper": LyingStr("letter")}, None),
    "paper=200k characters": ({"paper": LONG}, "ValueError"),
    "paper=NUL": ({"paper": "a4\0"}, "ValueError"),
    "paper=surrogate": ({"paper": "a4\ud800"}, "ValueError"),
    "landscape=raising truth": ({"landscape": BadBool()}, "TypeError"),
    "margins_mm=huge": ({"margins_mm": HUGE}, "ValueError"),
    "margins_mm=-huge": ({"margins_mm": -HUGE}, "ValueError"),
    "margins_mm=uncomparable": ({"margins_mm": BadCompare()}, "TypeError"),
    "margins_mm=-0.0": ({"margins_mm": -0.0}, "returned"),
}
CASES.add(
    single(
        {
            f"export_pdf({name})": (
                lambda at, given=given: bridge_with(writing_backend()).export_pdf(at / "c.pdf", **given),
                expected,
            )
            for name, (given, expected) in OPTIONS.items()
        }
    )
)


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


def attach_with(**rebound):
    def call(at):
        for name, value in rebound.items():
            setattr(printing, name, value)
        return printing.PrintBridge().attach(window())

    return call


def make_backend_on(platform):
    def call(at):
        printing.sys = Record(platform=platform)
        return printing._make_backend(window())

    return call


REBOUND = {
    "attach: clock reads a str": (attach_with(time=Clock(reading=returning("now"))), "TypeError"),
    "attach: clock reads nan": (attach_with(time=Clock(reading=returning(float("nan")))), "returned"),
    "attach: clock raises": (attach_with(time=Clock(reading=fail)), "Failure"),
    "attach: sleep raises": (attach_with(time=Clock(sleep=fail), _make_backend=fail), "Failure"),
    "attach: backend maker returns None": (attach_with(time=Clock(), _make_backend=returning(None)), "returned"),
    "attach: log raises": (
        attach_with(time=Clock(), _make_backend=returning(writing_backend()), log=Record(info=fail, warning=fail)),
        "Failure",
    ),
    "attach: backend name unhashable": (
        attach_with(time=Clock(), _make_backend=returning(writing_backend(name=BadHash()))),
        None,
    ),
    "_make_backend: platform int": (make_backend_on(5), "AttributeError"),
    "_make_backend: platform None": (make_backend_on(None), "AttributeError"),
    "_make_backend: platform bytes": (make_backend_on(b"linux"), "TypeError"),
    "_make_backend: platform str subclass": (make_backend_on(StrSub("linux")), "returned"),
    "_make_backend: platform lying str": (make_backend_on(LyingStr("linux")), "Failure"),
    "settle_ms: rebound": (lambda at: (setattr(printing, "_SETTLE_MS", BadHash()), printing.settle_ms()), "returned"),
}

CASES.add(single(REBOUND))


# -------------------------------------------------------- the backends


class Accepting:
    """GTK's settings and page setup: every method takes anything."""

    def __getattr__(self, name):
        return returning(None)


class Operation(Accepting):
    """A WebKit2.PrintOperation whose print_ finishes at once, or fails with `error`."""

    def __init__(self, error=None):
        self.handlers, self.error = {}, error

    def connect(self, signal, handler):
        self.handlers[signal] = handler

    def print_(self):
        if self.error is not None:
            self.handlers["failed"](self, self.error)
        self.handlers["finished"](self)


def install_gtk(idle_add=None, new_operation=None):
    """gi.repository with idle callbacks run at once (or as `idle_add` does)
    and operations from `new_operation`."""
    repository = types.ModuleType("gi.repository")
    repository.GLib = Record(
        idle_add=idle_add or (lambda callback: callback()),
        filename_to_uri=lambda name, host: "file://" + name,
        dgettext=lambda domain, text: text,
    )
    repository.Gtk = Record(
        PrintSettings=Accepting,
        PageSetup=Accepting,
        PaperSize=Record(new=returning("paper")),
        PageOrientation=Record(LANDSCAPE=1),
        Unit=Record(MM=3),
        PRINT_SETTINGS_OUTPUT_URI="uri",
        PRINT_SETTINGS_OUTPUT_FILE_FORMAT="format",
    )
    repository.WebKit2 = Record(PrintOperation=Record(new=new_operation or (lambda view: Operation())))
    gi = types.ModuleType("gi")
    gi.repository = repository
    sys.modules["gi"], sys.modules["gi.repository"] = gi, repository


def gtk_backend(prepared=True, **attributes):
    backend = printing._GtkBackend(window())
    if prepared:
        backend._webview = "widget"
    for name, value in attributes.items():
        setattr(backend, name, value)
    return backend


def gtk_export(backend, **options):
    def call(at):
        install_gtk()
        return backend().export_pdf(at / "d.pdf", **options)

    return call


class NoStatePeer(printing._GtkBackend):
    def __init__(self, window):  # never calls the base constructor
        pass


BACKEND_CALLS = {
    "gtk export: idle_add raises": (lambda at: (install_gtk(idle_add=fail), gtk_backend().export_pdf(at)), "Failure"),
    "gtk export: no operation made": (
        lambda at: (install_gtk(new_operation=returning(None)), gtk_backend().export_pdf(at / "d.pdf")),
        "PrintError",
    ),
    "gtk export: failed with an error whose str raises": (
        lambda at: (
            install_gtk(new_operation=lambda view: Operation(error=type("Error", (), {"__str__": fail})())),
            gtk_backend().export_pdf(at / "d.pdf"),
        ),
        None,
    ),
    "gtk export: failed with an error of 200k characters": (
        lambda at: (
            install_gtk(new_operation=lambda view: Operation(error=Failure(LONG))),
            gtk_backend().export_pdf(at / "d.pdf"),
        ),
        "PrintError",
    ),
    "gtk export: never prepared": (gtk_export(lambda: gtk_backend(prepared=False)), None),
    "gtk export: subclass without state": (gtk_export(lambda: NoStatePeer(window())), "AttributeError"),
    "gtk export: failing, with a lock whose __exit__ answers a raising truth": (
        lambda at: (
            install_gtk(idle_add=fail),
            gtk_backend(
                _lock=type("Lock", (), {"__enter__": returning(None), "__exit__": returning(BadBool())})()
            ).export_pdf(at / "d.pdf"),
        ),
        "Failure",
    ),
    "gtk export: destination whose str raises": (
        lambda at: (install_gtk(), gtk_backend().export_pdf(PathRecord(at / "d.pdf", __str__=fail))),
        "Failure",
    ),
    "gtk dialog: native raising": (
        lambda at: (install_gtk(), printing._GtkBackend(raising_property("native")()).show_dialog()),
        None,
    ),
    "gtk prepare: without toolkit": (lambda at: printing._GtkBackend(window()).prepare(), None),
    "cocoa dialog: without toolkit": (lambda at: printing._CocoaBackend(window()).show_dialog(), "ImportError"),
    "cocoa export: without toolkit": (
        lambda at: printing._CocoaBackend(window()).export_pdf(at / "d.pdf"),
        "ImportError",
    ),
    "webview2 export: core raising": (
        lambda at: (
            install_webview(platform_object=Record(webview=Record(CoreWebView2=Record(PrintToPdfAsync=fail)))),
            printing._EdgeChromiumBackend(window()).export_pdf(at / "d.pdf"),
        ),
        "PrintError",
    ),
    "webview2 export: no pythonnet": (
        lambda at: (
            install_webview(
                platform_object=Record(webview=Record(CoreWebView2=Record(PrintToPdfAsync=returning(None))))
            ),
            sys.modules.__setitem__("System", None),
            printing._EdgeChromiumBackend(window()).export_pdf(at / "d.pdf"),
        ),
        "PrintError",
    ),
    "webview2 dialog: raising KeyboardInterrupt": (
        lambda at: (
            install_webview(
                platform_object=Record(webview=Record(CoreWebView2=Record(ShowPrintUI=raising(KeyboardInterrupt()))))
            ),
            printing._EdgeChromiumBackend(window()).show_dialog(),
        ),
        "KeyboardInterrupt",
    ),
    "base export: host objects": (
        lambda at: printing._Backend(BadHash()).export_pdf(destination=BadHash()),
        "NotImplementedError",
    ),
    "base prepare: another object": (lambda at: printing._Backend.prepare(5), None),
    "base constructor: no window": (lambda at: printing._Backend(), "TypeError"),
    "bridge: available with a backend of raising truth": (lambda at: bridge_with(BadBool()).available, "returned"),
    "PrintError: host objects": (lambda at: str(printing.PrintError(BadHash(), LONG)), None),
}
for label, timeout, expected in [
    ("huge", HUGE, "OverflowError"),
    ("nan", float("nan"), "PrintError"),
    ("negative", -1.0, "PrintError"),
    ("str", "90", "TypeError"),
    ("uncomparable", BadCompare(), "Failure"),
]:
    BACKEND_CALLS[f"gtk export: timeout {label}, no completion"] = (
        lambda at, t=timeout: (
            install_gtk(idle_add=returning(0)),
            setattr(printing, "_EXPORT_TIMEOUT_S", t),
            gtk_backend().export_pdf(at / "d.pdf"),
        ),
        expected,
    )
CASES.add(single(BACKEND_CALLS))


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_call(outcomes, case):
    CASES.check(outcomes, case)
