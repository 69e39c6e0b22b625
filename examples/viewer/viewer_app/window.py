"""--window: the viewer in a pywebview window of its own, with printing.

pywebview wants the main thread for its GUI loop, so the server runs on a
thread of its own. The window's start callback attaches the PrintBridge,
and the server's request threads call its print_dialog() and export_pdf()
(never the GUI thread, whose loop does the printing work).
"""

import logging
import threading

from tidewing_quillery import printing


def run(server, url, title="Tidewing viewer"):
    import webview  # only the window needs pywebview

    # The bridge logs "print backend ready: ..." or "printing unavailable: ...".
    logging.basicConfig(level=logging.INFO, format="%(name)s: %(message)s")
    server.bridge = printing.PrintBridge()
    serving = threading.Thread(target=server.serve_forever, name="server", daemon=True)
    serving.start()
    window = webview.create_window(title, url, width=1100, height=760)

    def on_start(window):
        server.bridge.attach(window)  # never raises; retries until the web view exists

    try:
        webview.start(on_start, window)
    finally:
        server.shutdown()
