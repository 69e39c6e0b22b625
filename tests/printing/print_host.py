"""A pywebview host for the end-to-end print test.

Run as `python print_host.py PAGE DESTINATION` under an X server. It opens a
window on GTK showing PAGE, attaches a PrintBridge from the window's start
callback, exports the page from a worker thread to DESTINATION, closes the
window and prints one JSON object with what happened. It exits with 77 when
the toolkit is missing, so the test can tell that apart from a failure.
"""

import json
import sys
import threading
from pathlib import Path

TOOLKIT_MISSING = 77
LOAD_TIMEOUT_S = 60


def main(page, destination):
    try:
        import gi

        gi.require_version("Gtk", "3.0")
        gi.require_version("WebKit2", "4.1")
        import webview
    except (ImportError, ValueError) as exc:
        print(f"toolkit missing: {exc}", file=sys.stderr)
        return TOOLKIT_MISSING

    from tidewing_quillery import printing

    outcome = {}
    window = webview.create_window("print test", url=Path(page).as_uri())

    def export(bridge):
        try:
            outcome["result"] = bridge.export_pdf(Path(destination))
        except Exception as exc:  # reported to the test, not raised in the GUI process
            outcome["error"] = repr(exc)

    def on_start(window):
        try:
            bridge = printing.PrintBridge()
            bridge.attach(window)
            outcome["status"] = bridge.status()
            outcome["loaded"] = window.events.loaded.wait(LOAD_TIMEOUT_S)
            threading.Event().wait(printing.settle_ms() / 1000)
            worker = threading.Thread(target=export, args=(bridge,), name="export")
            worker.start()
            worker.join()
        finally:
            window.destroy()

    webview.start(on_start, window, gui="gtk")
    outcome["guilib"] = getattr(webview.guilib, "__name__", None)
    print(json.dumps(outcome))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
