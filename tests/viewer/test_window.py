"""--window: the viewer in a real pywebview window on WebKitGTK, under Xvfb.
The window starts, the print bridge attaches from the window's start
callback, and Export PDF writes the document the window shows as a PDF that
pdfinfo and pdftotext read (without the page's toolbar and sidebar)."""

import re
import shutil
import subprocess
import sys
import time

import pytest
from viewer_harness import Viewer, need_viewer_requirements, unavailable

pytestmark = pytest.mark.gui

ATTACH_TIMEOUT_S = 40  # the window's start, then attach's own 10 s of retries
TOOLKIT = (
    "import gi; gi.require_version('Gtk', '3.0'); gi.require_version('WebKit2', '4.1'); "
    "from gi.repository import Gtk, WebKit2; import webview"
)


def output_of(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def wait_for(condition, what):
    deadline = time.monotonic() + ATTACH_TIMEOUT_S
    while not (value := condition()):
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.2)
    return value


@pytest.fixture
def window_viewer(notes, tmp_path, monkeypatch):
    need_viewer_requirements()
    for tool, package in [("xvfb-run", "xvfb xauth"), ("pdfinfo", "poppler-utils"), ("pdftotext", "poppler-utils")]:
        if shutil.which(tool) is None:
            unavailable(f"{tool} not found (Debian packages: {package})")
    probe = subprocess.run([sys.executable, "-c", TOOLKIT], capture_output=True, text=True)
    if probe.returncode != 0:
        unavailable(f"{probe.stderr.strip().splitlines()[-1]} (needs PyGObject, pywebview and WebKitGTK 4.1)")
    monkeypatch.setenv("PYWEBVIEW_GUI", "gtk")
    running = Viewer(notes, tmp_path / "window.log", "--window", target=notes / "guide.md", prefix=["xvfb-run", "-a"])
    yield running.start()
    running.stop()


def test_the_window_exports_its_document_to_pdf(window_viewer, notes):
    viewer = window_viewer
    status = wait_for(
        lambda: viewer.get_json("/api/session")["print"]["available"] and viewer.get_json("/api/session")["print"],
        "the print bridge to attach",
    )
    assert status == {"available": True, "backend": "webkitgtk", "can_export_pdf": True}
    assert "print backend ready: webkitgtk" in viewer.log()
    # The page opened the document it was started on, and its image.
    wait_for(lambda: {"/api/doc", "/api/asset"} <= set(viewer.logged_paths()), "the page to show the document")

    result = viewer.post_json("/api/export", {"path": str(notes / "guide.md")})
    pdf = notes.home / "Documents" / "guide.pdf"
    assert result == {"ok": True, "backend": "webkitgtk", "path": str(pdf), "size": pdf.stat().st_size}
    assert re.search(r"^Pages:\s+1$", output_of("pdfinfo", str(pdf)), re.MULTILINE)
    text = " ".join(output_of("pdftotext", str(pdf), "-").split())
    assert "The heron waits beside the quiet harbour." in text
    assert "Quick open" not in text and "Recent" not in text  # the page's print style leaves them out

    assert viewer.post_json("/api/print", {}) == {"ok": True, "backend": "webkitgtk"}
    assert viewer.process.poll() is None
