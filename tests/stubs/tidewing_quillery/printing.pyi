"""
Printing and PDF export for pywebview windows: a per-window print bridge over WebKitGTK, WKWebView or WebView2.
"""

import logging
import pathlib
from typing import Any


log: logging.Logger = ...

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

    def export_pdf(self, destination: pathlib.Path, *, paper: str = 'a4', landscape: bool = False, margins_mm: float | None = None) -> dict[str, Any]:
        """
        Write the page as a PDF file at `destination` and return ok, backend, path and size; raises PrintError when that fails.

        PrintError when no backend is bound, the backend cannot export PDF or does not take a page option asked for, or the export left no new non-empty file; ValueError or TypeError for a bad `paper`, `landscape` or `margins_mm`, before anything is touched. `destination` is expanded (~) and its missing folders are created; a relative one is written below the current folder. Call it from a thread other than the GUI thread.
        """

def settle_ms() -> int:
    """
    How long, in milliseconds, a host lets the page settle before printing it (_SETTLE_MS, read at each call).
    """
