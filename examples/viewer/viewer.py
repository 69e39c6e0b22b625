"""Tidewing reference viewer: Markdown documents from a local web server.

    python examples/viewer/viewer.py ~/notes             print an address to open in any browser
    python examples/viewer/viewer.py ~/notes --window    a window of its own, with Print and Export PDF
    python examples/viewer/viewer.py ~/notes/plan.md     open that document first
    python examples/viewer/viewer.py --encrypt plan.md   seal plan.md as plan.md.twenc (--decrypt opens it)

A folder given (or a document's folder) is registered as a browsing root
and stays one; the tree, quick open, recent files and favourites persist in
the document store's state folder ($TIDEWING_MD_STATE_DIR, or
~/.tidewing/quillery). The access token is new for every run.
"""

import argparse
import os
import sys
from pathlib import Path

from viewer_app import crypt
from viewer_app.library import Library
from viewer_app.server import ViewerServer

from tidewing_quillery import pagecase


def arguments(argv):
    parser = argparse.ArgumentParser(prog="viewer.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", help="a folder to browse, or a Markdown document to open")
    parser.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (0: any free one; default 8765)")
    parser.add_argument("--window", action="store_true", help="show the viewer in a pywebview window")
    parser.add_argument(
        "--export-dir", type=Path, default=Path("~/Documents"), help="where Export PDF writes (default ~/Documents)"
    )
    sealing = parser.add_mutually_exclusive_group()
    sealing.add_argument("--encrypt", type=Path, metavar="FILE", help="write FILE.twenc, bound to FILE's name")
    sealing.add_argument("--decrypt", type=Path, metavar="FILE.twenc", help="write FILE back from FILE.twenc")
    return parser, parser.parse_args(argv)


def register(library, raw):
    """The document to open first (or None), after registering the folder
    that `raw` names or holds; raises SystemExit when it is neither."""
    document = pagecase.resolve_document(raw)
    if library.add_root(raw if document is None else document.parent) is None:
        raise SystemExit(f"viewer.py: {raw}: neither a folder nor a Markdown document")
    return document


def fresh_token():
    """A new access token for this run, stored for the user alone: whatever held
    an earlier one (a page, a history entry, a process that took the port
    after a run) holds nothing that works now."""
    previous = os.umask(0o077)  # a new token file is never readable by others, not even until its chmod
    try:
        return pagecase.access_token(rotate=True)
    finally:
        os.umask(previous)


def main(argv=None):
    parser, args = arguments(argv)
    if args.encrypt or args.decrypt:
        return crypt.run(args.encrypt, args.decrypt)
    library = Library()
    start = None if args.path is None else register(library, args.path)
    token = fresh_token()
    try:
        server = ViewerServer(args.port, library, token, start=start, export_dir=args.export_dir.expanduser())
    except OSError as failure:
        parser.exit(1, f"viewer.py: cannot listen on 127.0.0.1:{args.port}: {failure.strerror}\n")
    # The token travels in the fragment: browsers never send a fragment to the
    # server nor put it in a Referer header, so it stays out of every request
    # line and log. The page keeps it in sessionStorage and clears the address bar.
    url = f"http://127.0.0.1:{server.port}/#token={token}"
    if args.window:
        from viewer_app import window

        print(f"Tidewing viewer at http://127.0.0.1:{server.port}/ (in its window)", flush=True)
        window.run(server, url)
        return 0
    print(f"Tidewing viewer at {url}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
