"""The module's public surface: every name in its binding order, the classes
as a host sees them, and loading without any platform toolkit."""

import logging
import pathlib
import subprocess
import sys
import threading
import time

import pytest

BINDING_ORDER = [
    "logging",
    "sys",
    "threading",
    "time",
    "Path",
    "log",
    "_SETTLE_MS",
    "_EXPORT_TIMEOUT_S",
    "PrintError",
    "PrintBridge",
    "_Backend",
    "_GtkBackend",
    "_CocoaBackend",
    "_EdgeChromiumBackend",
    "_make_backend",
    "_browser_view",
    "_gtk_webview",
    "_cocoa_webview",
    "_edge_core",
    "settle_ms",
]


def test_names_are_bound_in_order_with_their_load_values(printing):
    assert [name for name in vars(printing) if not name.startswith("__")] == BINDING_ORDER
    assert (printing.logging, printing.sys, printing.threading, printing.time) == (logging, sys, threading, time)
    assert printing.Path is pathlib.Path
    assert printing.log is logging.getLogger("tidewing_quillery.printing")
    assert type(printing._SETTLE_MS) is int and printing._SETTLE_MS == 350
    assert type(printing._EXPORT_TIMEOUT_S) is float and printing._EXPORT_TIMEOUT_S == 90.0


def test_loading_imports_no_toolkit_and_happens_once():
    toolkits = ["webview", "gi", "gi.repository", "AppKit", "Foundation", "System"]
    script = (
        "import importlib, sys\n"
        "from tidewing_quillery import printing\n"
        f"print([name for name in {toolkits!r} if name in sys.modules])\n"
        "del sys.modules['tidewing_quillery.printing']\n"
        "try:\n"
        "    importlib.import_module('tidewing_quillery.printing')\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    loaded, second = out.stdout.splitlines()
    assert loaded == "[]"
    assert "tidewing_quillery.printing is already initialised in this process" in second


def test_print_error_is_a_plain_runtime_error(printing):
    assert printing.PrintError.__bases__ == (RuntimeError,)
    assert [name for name in vars(printing.PrintError) if not name.startswith("__")] == []
    assert printing.PrintError.__module__ == "tidewing_quillery.printing"
    with pytest.raises(RuntimeError) as caught:
        raise printing.PrintError("GTK webview widget not ready")
    assert str(caught.value) == "GTK webview widget not ready"


PAGE_OPTIONS = ("paper", "landscape", "margins_mm")


@pytest.mark.parametrize(
    "cls, name, supports_pdf, page_options",
    [
        ("_Backend", "none", False, ()),
        ("_GtkBackend", "webkitgtk", True, PAGE_OPTIONS),
        ("_CocoaBackend", "wkwebview", True, PAGE_OPTIONS),
        ("_EdgeChromiumBackend", "webview2", True, PAGE_OPTIONS),
    ],
)
def test_backend_classes(printing, window, cls, name, supports_pdf, page_options):
    backend_class = getattr(printing, cls)
    assert (backend_class.name, backend_class.supports_pdf, backend_class.page_options) == (
        name,
        supports_pdf,
        page_options,
    )
    assert type(backend_class.supports_pdf) is bool
    if cls != "_Backend":
        assert backend_class.__bases__ == (printing._Backend,)
    backend = backend_class(window=window)  # constructing touches neither window nor toolkit
    assert backend.window is window


def test_base_backend_operations(printing, window, tmp_path):
    backend = printing._Backend(window)
    assert vars(backend) == {"window": window}
    assert backend.prepare() is None
    for call in (backend.show_dialog, lambda: backend.export_pdf(destination=tmp_path / "a.pdf")):
        with pytest.raises(NotImplementedError) as caught:
            call()
        assert caught.value.args == ()
    with pytest.raises(TypeError):
        backend.prepare(1)


def test_classes_are_ordinary_python_classes(printing, window):
    assert printing.PrintBridge.__doc__ == "Per-window printing. Create one, ``attach`` it, then call the methods."
    assert [name for name in vars(printing.PrintBridge) if not name.startswith("__")] == [
        "attach",
        "available",
        "status",
        "print_dialog",
        "export_pdf",
    ]
    assert [name for name in vars(printing._Backend) if not name.startswith("__")] == [
        "name",
        "supports_pdf",
        "page_options",
        "prepare",
        "show_dialog",
        "export_pdf",
    ]

    class HostBackend(printing._GtkBackend):
        name = "host"

        def __init__(self, window):
            super().__init__(window)
            self.extra = True

    backend = HostBackend(window)
    assert list(vars(backend)) == ["window", "_webview", "_lock", "_operation", "extra"]
    assert isinstance(backend._lock, type(threading.Lock())) and backend._webview is backend._operation is None
    assert (backend.name, backend.supports_pdf) == ("host", True)
    bridge = printing.PrintBridge()
    bridge.note = "hosts may add attributes"
    assert vars(bridge) == {"_window": None, "_backend": None, "note": "hosts may add attributes"}
    assert isinstance(printing.PrintBridge.available, property)


def test_settle_ms_reads_the_module_attribute(printing, monkeypatch):
    assert printing.settle_ms() == 350
    monkeypatch.setattr(printing, "_SETTLE_MS", 500)
    assert printing.settle_ms() == 500


HOST_SCRIPT = """\
from pathlib import Path
from typing import Any
from tidewing_quillery import printing

bridge = printing.PrintBridge()
bridge.attach(object())
ready: bool = bridge.available
state: dict[str, Any] = bridge.status()
try:
    result: dict[str, Any] = bridge.export_pdf(Path("a.pdf"))
    shown: dict[str, Any] = bridge.print_dialog()
except printing.PrintError as error:
    reason: str = str(error)
bridge.export_pdf(Path("a.pdf"), paper="letter", landscape=True, margins_mm=12.5)
bridge.export_pdf(Path("a.pdf"), paper=None, margins_mm=None)
delay: int = printing.settle_ms()
printing._EXPORT_TIMEOUT_S = 5.0


class Recorder(printing._Backend):
    name = "recorder"
    supports_pdf = True

    def export_pdf(self, destination: Path) -> None:
        destination.write_bytes(b"%PDF-")


bridge.export_pdf(Path("a.pdf"), "letter")
bridge.export_pdf(Path("a.pdf"), landscape="yes")
bridge.available = False
"""


def test_stubs_type_check_a_host(printing, type_check):
    errors, report = type_check(printing, HOST_SCRIPT)
    assert errors == ["host.py:28", "host.py:29", "host.py:30"], report
