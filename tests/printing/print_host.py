"""A pywebview host for the end-to-end print test.

Run as `python print_host.py PAGE EXPORTS` under an X server, where EXPORTS
is a JSON list of {"destination": ..., "options": {...}}. It opens a window
on GTK showing PAGE, attaches a PrintBridge from the window's start
callback, makes each export in turn from a worker thread (relative
destinations against the current folder), closes the window and prints one
JSON object with what happened. It exits with 77 when the toolkit is
missing, so the test can tell that apart from a failure.
"""

import json
import sys
import threading
import time
from pathlib import Path

TOOLKIT_MISSING = 77
LOAD_TIMEOUT_S = 60
EXPORT_TIMEOUT_S = 30.0  # a hung export ends the run sooner than the 90 s as loaded


def main(page, exports):
    try:
        import gi

        gi.require_version("Gtk", "3.0")
        gi.require_version("WebKit2", "4.1")
        import webview
    except (ImportError, ValueError) as exc:
        print(f"toolkit missing: {exc}", file=sys.stderr)
        return TOOLKIT_MISSING

    from tidewing_quillery import printing

    printing._EXPORT_TIMEOUT_S = EXPORT_TIMEOUT_S
    outcome = {"exports": []}
    window = webview.create_window("print test", url=Path(page).as_uri())

    def export(bridge):
        for request in exports:
            started = time.monotonic()
            try:
                report = {"result": bridge.export_pdf(Path(request["destination"]), **request["options"])}
            except Exception as exc:  # reported to the test, not raised in the GUI process
                report = {"error": repr(exc)}
            report["seconds"] = round(time.monotonic() - started, 1)
            outcome["exports"].append(report)

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
    sys.exit(main(sys.argv[1], json.loads(sys.argv[2])))
