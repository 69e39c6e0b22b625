"""
Printing and PDF export for pywebview windows: a per-window print bridge over WebKitGTK, WKWebView or WebView2.
"""

import logging
import pathlib
from typing import Any


log: logging.Logger = ...

_SETTLE_MS: int = 350

_EXPORT_TIMEOUT_S: float = 90.0

class PrintError(RuntimeError):
    """
    A print request failed in a way the module anticipates; the message says which, in fixed English.

    Raised by PrintBridge and the backends: no backend bound, no PDF support, an unsupported page option, a native web view that is not ready, "PDF export timed out", an error the engine reported, or an export that wrote no file.
    """

class PrintBridge:
    """Per-window printing. Create one, ``attach`` it, then call the methods."""

    def __init__(self) -> None:
        """A bridge bound to no window and no backend yet."""

    def attach(self, window: object) -> None:
        """
        Bind the platform's print backend to a pywebview window, trying for up to 10 seconds; never raises.

        pywebview may call its start callback before the window's web widget exists, so each failed attempt is retried with a new backend. Success is logged as "print backend ready: %s"; giving up logs "printing unavailable: %s" and leaves the bridge unbound, as `available` and status() show.
        """

    @property
    def available(self) -> bool:
        """Whether a print backend is bound (attach succeeded)."""

    def status(self) -> dict[str, Any]:
        """
        A new dict of the bridge's state: available, backend (its name or None) and can_export_pdf; never raises.
        """

    def print_dialog(self) -> dict[str, Any]:
        """
        Show the platform's print dialog for the page and return {"ok": True, "backend": name}; raises PrintError when no backend is bound.

        On WebKitGTK and macOS the dialog is scheduled on the GUI thread and the call returns at once. What the backend raises reaches the caller unchanged.
        """

    def export_pdf(self, destination: pathlib.Path, *, paper: str | None = None, landscape: bool = False, margins_mm: float | None = None) -> dict[str, Any]:
        """
        Write the page as a PDF file at `destination` and return ok, backend, path and size; raises PrintError when that fails.

        The backend's own page setup (A4 portrait on GTK, the application's shared print info on macOS, WebView2's defaults on Windows) changes only where `paper`, `landscape` or `margins_mm` are given. PrintError when no backend is bound, the backend cannot export PDF or does not take a page option asked for, or the export left no new non-empty file; ValueError or TypeError for a bad option, before anything is touched. `destination` is expanded (~) and its missing folders are created; the file is written in that folder as the system resolves it (links followed), a relative one below the current folder, and "path" repeats it as given. Call it from a thread other than the GUI thread.
        """

class _Backend:
    """
    How one pywebview window is printed on one platform. Subclasses resolve their native handles in prepare() and implement the two jobs.
    """

    name: str = 'none'

    supports_pdf: bool = False

    page_options: tuple[str, ...] = ...

    def __init__(self, window: object) -> None:
        """
        Keep the pywebview window to print as `window`; touches neither the window nor a toolkit.
        """

    def prepare(self) -> None:
        """Do nothing: the base backend has no native handles to find."""

    def show_dialog(self) -> None:
        """
        Raise NotImplementedError: each platform backend opens its own print dialog.
        """

    def export_pdf(self, destination: pathlib.Path) -> None:
        """
        Raise NotImplementedError: each platform backend writes its own PDF file.
        """

class _GtkBackend(_Backend):
    """Linux: WebKitGTK's print operation, driven on the GTK main loop."""

    name: str = 'webkitgtk'

    supports_pdf: bool = True

    page_options: tuple[str, ...] = ...

    def __init__(self, window: object) -> None:
        """
        Keep the pywebview window to print as `window`; touches neither the window nor a toolkit.
        """

    def prepare(self) -> None:
        """
        Find the window's native web view; raises PrintError while pywebview has not created it yet.

        The bridge takes any exception as "not ready yet" and tries again with a new backend.
        """

    def show_dialog(self) -> None:
        """
        Schedule GTK's print dialog for the page on the GTK main loop and return at once; a failure there is logged as a warning.
        """

    def export_pdf(self, destination: pathlib.Path, *, paper: str | None = None, landscape: bool = False, margins_mm: float | None = None) -> None:
        """
        Write the page as a PDF file at `destination` and return once the engine has finished; raises PrintError on a failure the engine reports or after _EXPORT_TIMEOUT_S seconds.

        `destination` has been through expanduser() and its folder exists; a relative one is written below the current folder. The page setup is the backend's own (A4 on GTK, the shared print info on macOS, WebView2's defaults on Windows) except for the `paper`, `landscape` or `margins_mm` given (ValueError or TypeError for values outside those the bridge accepts). Call it from a thread other than the GUI thread, which does the work.
        """

class _CocoaBackend(_Backend):
    """macOS: the WKWebView's print operation, run on the main queue."""

    name: str = 'wkwebview'

    supports_pdf: bool = True

    page_options: tuple[str, ...] = ...

    def prepare(self) -> None:
        """
        Find the window's native web view; raises PrintError while pywebview has not created it yet.

        The bridge takes any exception as "not ready yet" and tries again with a new backend.
        """

    def show_dialog(self) -> None:
        """
        Schedule the print panel for the page on the main queue and return at once; raises PrintError when the WKWebView is not ready, and a failure of the panel is logged.
        """

    def export_pdf(self, destination: pathlib.Path, *, paper: str | None = None, landscape: bool = False, margins_mm: float | None = None) -> None:
        """
        Write the page as a PDF file at `destination` and return once the engine has finished; raises PrintError on a failure the engine reports or after _EXPORT_TIMEOUT_S seconds.

        `destination` has been through expanduser() and its folder exists; a relative one is written below the current folder. The page setup is the backend's own (A4 on GTK, the shared print info on macOS, WebView2's defaults on Windows) except for the `paper`, `landscape` or `margins_mm` given (ValueError or TypeError for values outside those the bridge accepts). Call it from a thread other than the GUI thread, which does the work.
        """

class _EdgeChromiumBackend(_Backend):
    """Windows: WebView2's print UI and PrintToPdfAsync, via pythonnet."""

    name: str = 'webview2'

    supports_pdf: bool = True

    page_options: tuple[str, ...] = ...

    def prepare(self) -> None:
        """
        Find the window's native web view; raises PrintError while pywebview has not created it yet.

        The bridge takes any exception as "not ready yet" and tries again with a new backend.
        """

    def show_dialog(self) -> None:
        """
        Open WebView2's print dialog for the page on this thread; raises PrintError when CoreWebView2 is not ready, and what ShowPrintUI raises propagates.
        """

    def export_pdf(self, destination: pathlib.Path, *, paper: str | None = None, landscape: bool = False, margins_mm: float | None = None) -> None:
        """
        Write the page as a PDF file at `destination` and return once the engine has finished; raises PrintError on a failure the engine reports or after _EXPORT_TIMEOUT_S seconds.

        `destination` has been through expanduser() and its folder exists; a relative one is written below the current folder. The page setup is the backend's own (A4 on GTK, the shared print info on macOS, WebView2's defaults on Windows) except for the `paper`, `landscape` or `margins_mm` given (ValueError or TypeError for values outside those the bridge accepts). Call it from a thread other than the GUI thread, which does the work.
        """

def _make_backend(window: object) -> _Backend:
    """
    A new backend for the running platform, constructed with the window; raises PrintError on a platform without one.
    """

def _browser_view(window: object) -> object:
    """
    pywebview's platform object for the window; raises PrintError when pywebview has none registered for its uid.
    """

def _gtk_webview(window: object) -> object:
    """
    The WebKit2 web view widget of the window; raises PrintError while it is not created yet.
    """

def _cocoa_webview(window: object) -> object:
    """
    The WKWebView of the window; raises PrintError while it is not created yet.
    """

def _edge_core(window: object) -> object:
    """
    The CoreWebView2 object of the window's WebView2 control; raises PrintError while it is not initialised.
    """

def settle_ms() -> int:
    """
    How long, in milliseconds, a host lets the page settle before printing it (_SETTLE_MS, read at each call).
    """
