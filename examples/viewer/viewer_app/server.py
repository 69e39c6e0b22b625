"""The viewer's local web server: a threaded HTTP server on the loopback
address, its routes, and the replies they give.

Every route answers one of: its result as JSON, an image, 403 "forbidden"
(wrong Host, missing or wrong token, another site's request) or 404 "not
found" (whatever the document store answered with None). A reply never says
why a path was refused. Host, site and token are checked before a request's
body is read; a body that is no JSON object is a 400.

Each connection has a thread of its own, so a request that waits holds up
no other; connections.py bounds what each one may take.
"""

import io
import json
import sys
import threading
import time
import traceback
from dataclasses import dataclass
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

from tidewing_quillery import printing

from . import render, watch
from .connections import LISTEN_BACKLOG, MAX_CONNECTIONS, DeadlineReader, log, refuse
from .guards import ASSET_POLICY, PAGE_POLICY, SECURITY_HEADERS, Guard, parameter

STATIC = Path(__file__).with_name("static")
PAGES = {  # route: (file, content type); nothing else is ever read from the static folder
    "/": ("index.html", "text/html; charset=utf-8"),
    "/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/app.css": ("app.css", "text/css; charset=utf-8"),
}
IMAGE_TYPES = {
    ".avif": "image/avif",
    ".bmp": "image/bmp",
    ".gif": "image/gif",
    ".ico": "image/vnd.microsoft.icon",
    ".jpeg": "image/jpeg",
    ".jpg": "image/jpeg",
    ".png": "image/png",
    ".svg": "image/svg+xml",
    ".webp": "image/webp",
}
MAX_BODY_BYTES = 64 * 1024
MAX_QUERY_FIELDS = 8
WATCH = object()  # a route's answer that hands the connection to watch.hold


@dataclass
class Reply:
    status: int
    body: bytes
    content_type: str
    policy: str = PAGE_POLICY


def json_reply(value, status=200):
    # ASCII escapes keep file names that are not valid UTF-8 (surrogate escapes) encodable.
    return Reply(status, json.dumps(value).encode("ascii"), "application/json")


def error(status, message):
    return json_reply({"error": message}, status)


NOT_FOUND = 404, "not found"
FORBIDDEN = 403, "forbidden"


def headers_of(reply):
    """The headers every answer carries."""
    return [
        ("Content-Type", reply.content_type),
        ("Content-Length", str(len(reply.body))),
        ("Content-Security-Policy", reply.policy),
        ("Cache-Control", "no-store"),
        *SECURITY_HEADERS,
    ]


def _too_many():
    """The whole answer to a connection past the cap, written without a handler."""
    status = HTTPStatus.SERVICE_UNAVAILABLE
    reply = error(status, "too many connections")
    headers = [*headers_of(reply), ("Retry-After", "1"), ("Connection", "close")]
    head = f"HTTP/1.1 {status.value} {status.phrase}\r\n" + "".join(f"{name}: {value}\r\n" for name, value in headers)
    return head.encode("ascii") + b"\r\n" + reply.body


TOO_MANY = _too_many()


class ViewerServer(ThreadingHTTPServer):
    daemon_threads = True  # open keep-alive connections never hold up a shutdown
    request_queue_size = LISTEN_BACKLOG

    def __init__(self, port, library, token, *, start=None, bridge=None, export_dir=None):
        self._slots = threading.BoundedSemaphore(MAX_CONNECTIONS)
        super().__init__(("127.0.0.1", port), Handler)
        self.library = library
        self.guard = Guard(token, self.server_address[1])
        self.start = start
        self.bridge = bridge
        self.export_dir = export_dir
        self.pages = {route: (STATIC / name).read_bytes() for route, (name, _) in PAGES.items()}

    @property
    def port(self):
        return self.server_address[1]

    def process_request(self, request, client_address):
        """A thread for the connection while fewer than MAX_CONNECTIONS are
        held, else a 503 written at once and no thread."""
        if not self._slots.acquire(blocking=False):
            log(f"{client_address[0]} refused: {MAX_CONNECTIONS} connections held already")
            refuse(request, TOO_MANY)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request, client_address):
        """A connection that failed outside a request's own handling (the
        client went away mid-answer): one escaped line, no traceback."""
        log(f"{client_address[0]} connection failed: {sys.exc_info()[1]!r}")


@dataclass
class Request:
    query: dict
    body: dict
    headers: object


ROUTES = {}


def route(method, path):
    def register(handler):
        ROUTES[(method, path)] = handler
        return handler

    return register


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TidewingViewer"
    timeout = 30  # for writing an answer; reading has the request's deadline

    def version_string(self):
        return self.server_version

    def setup(self):
        super().setup()
        self.rfile.close()
        self.reader = DeadlineReader(self.connection)
        self.rfile = io.BufferedReader(self.reader)

    def handle_one_request(self):
        self.reader.restart()
        self.body_read = False
        super().handle_one_request()

    def do_GET(self):
        self._answer()

    def do_POST(self):
        self._answer()

    def _answer(self):
        try:
            reply = self._dispatch()
        except TimeoutError:  # the body came too slowly: as the standard library does for headers
            self.log_error("Request timed out")
            self.close_connection = True
            return
        except Exception:  # reported as a 500 and logged; the server goes on
            for line in traceback.format_exc().splitlines():
                log(line)
            reply = error(500, "internal error")
        if not self.body_read and self._has_body():
            self.close_connection = True  # its unread body must not pass for the next request
        if reply is WATCH:
            self._hold_watch()
        else:
            self._send(reply)

    def _has_body(self):
        return self.headers.get("Content-Length", "0").strip() != "0" or "Transfer-Encoding" in self.headers

    def _dispatch(self):
        guard = self.server.guard
        if not guard.host_ok(self.headers):
            return error(*FORBIDDEN)
        if not self.path.startswith("/"):
            return error(*NOT_FOUND)
        target = urlsplit(self.path)
        if self.command == "GET" and target.path == "/favicon.ico":
            return Reply(204, b"", "image/x-icon")  # the page has no icon; say so without an error
        if self.command == "GET" and target.path in self.server.pages:
            return Reply(200, self.server.pages[target.path], PAGES[target.path][1])
        handler = ROUTES.get((self.command, target.path))
        if handler is None:
            return error(*NOT_FOUND)
        try:
            query = parse_qs(target.query, keep_blank_values=True, max_num_fields=MAX_QUERY_FIELDS)
        except ValueError:
            return error(400, "bad request")
        if not guard.same_origin(self.headers) or not guard.token_ok(self.headers, query):
            return error(*FORBIDDEN)
        body = self._read_body() if self.command == "POST" else {}
        if body is None:
            return error(400, "bad request")
        result = handler(self.server, Request(query, body, self.headers))
        if result is None:
            return error(*NOT_FOUND)
        return result if result is WATCH or isinstance(result, Reply) else json_reply(result)

    def _read_body(self):
        """The JSON object a POST carries, or None. A body that is not read
        whole (too long, chunked, cut short) ends the connection after the
        answer, so the next request on it cannot start inside this one."""
        length = self.headers.get("Content-Length", "0").strip()
        if "Transfer-Encoding" in self.headers or not (length.isascii() and length.isdigit()):
            return None
        if int(length) > MAX_BODY_BYTES:
            return None
        raw = self.rfile.read(int(length))
        self.body_read = len(raw) == int(length)
        if not self.body_read or not self.headers.get("Content-Type", "").startswith("application/json"):
            return None
        try:
            body = json.loads(raw or b"{}")
        except (ValueError, RecursionError):  # RecursionError: arrays nested thousands deep
            return None
        return body if isinstance(body, dict) else None

    def _hold_watch(self):
        """Answer the page's WebSocket handshake and keep the connection."""
        accept = watch.accept_key(self.headers)
        if accept is None:
            self._send(error(400, "bad request"))
            return
        self.close_connection = True
        self.connection.settimeout(self.timeout)
        self.send_response(HTTPStatus.SWITCHING_PROTOCOLS)
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", accept)
        self.end_headers()
        watch.hold(self.connection)

    def _send(self, reply):
        self.connection.settimeout(self.timeout)  # reading left it at what remained of the deadline
        self.send_response(reply.status)
        if self.close_connection:
            self.send_header("Connection", "close")
        for name, value in headers_of(reply):
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(reply.body)

    def send_error(self, code, message=None, explain=None):
        """The standard library's answer to a request it cannot parse, in the
        viewer's form (JSON, with the security headers), and the end of the
        connection."""
        self.close_connection = True
        self._send(error(code, "bad request" if code < 500 else "not supported"))

    def log_request(self, code="-", size="-"):
        # The query string stays out of the log: it may carry the token.
        path = urlsplit(self.path).path if hasattr(self, "path") else "-"
        self.log_message("%s %s %s", self.command, path, getattr(code, "value", code))

    def log_message(self, format, *args):
        log(f"{self.address_string()} {format % args}")


def _path(request, name="path"):
    return parameter(request.query, name)


def _body_path(request):
    raw = request.body.get("path")
    return raw if isinstance(raw, str) and "\x00" not in raw else None


@route("GET", "/api/session")
def session(server, request):
    if request.headers.get("Upgrade", "").lower() == "websocket":
        return WATCH  # the session itself, held open while page and server run
    library = server.library
    return {
        "tree": library.tree(),
        "recent": library.recent(),
        "favorites": library.favorites(),
        "start": None if server.start is None else str(server.start),
        "print": None if server.bridge is None else server.bridge.status(),
    }


@route("GET", "/api/folder")
def folder(server, request):
    raw = _path(request)
    return None if not raw else server.library.folder(raw)


@route("GET", "/api/doc")
def document(server, request):
    raw = _path(request)
    doc = None if raw is None else server.library.read(raw)
    if doc is None:
        return None
    payload = doc.as_payload()
    payload["html"] = render.render(payload.pop("text"), doc.path)
    payload["favorite"] = server.library.is_favorite(doc.path)
    return payload


@route("GET", "/api/signature")
def signature(server, request):
    raw = _path(request)
    found = None if raw is None else server.library.signature(raw)
    return None if found is None else {"mtime": found[0], "size": found[1]}


@route("GET", "/api/asset")
def asset(server, request):
    document, src = _path(request, "doc"), _path(request, "src")
    found = None if document is None or src is None else server.library.image(document, src)
    if found is None:
        return None
    data, path = found
    content_type = IMAGE_TYPES.get(path.suffix.lower(), "application/octet-stream")
    return Reply(200, data, content_type, ASSET_POLICY)


@route("GET", "/api/search")
def search(server, request):
    query = parameter(request.query, "q")
    return None if query is None else server.library.search(query)


@route("GET", "/api/lists")
def lists(server, request):
    return {"recent": server.library.recent(), "favorites": server.library.favorites()}


@route("POST", "/api/favorite")
def favorite(server, request):
    wanted = request.body.get("favorite")
    raw = _body_path(request)
    if not isinstance(wanted, bool) or raw is None:
        return error(400, "bad request")
    favorites = server.library.set_favorite(raw, wanted)
    return None if favorites is None else {"favorite": wanted, "favorites": favorites}


@route("GET", "/api/browse")
def browse(server, request):
    raw = parameter(request.query, "path") or ""
    return server.library.browse(raw, parameter(request.query, "files") == "1")


@route("GET", "/api/shortcuts")
def shortcuts(server, request):
    return server.library.shortcuts()


@route("POST", "/api/roots")
def add_root(server, request):
    raw = _body_path(request)
    roots = None if not raw else server.library.add_root(raw)
    return None if roots is None else {"tree": server.library.tree()}


@route("POST", "/api/print")
def print_dialog(server, request):
    if server.bridge is None:
        return error(409, "printing needs the viewer's window (--window)")
    try:
        return server.bridge.print_dialog()
    except printing.PrintError as failure:
        return error(503, str(failure))


@route("POST", "/api/export")
def export_pdf(server, request):
    """Write the page as a PDF named after the document, in the export folder."""
    if server.bridge is None:
        return error(409, "PDF export needs the viewer's window (--window)")
    raw = _body_path(request)
    path = None if raw is None else server.library.document(raw)
    if path is None:
        return None
    time.sleep(printing.settle_ms() / 1000)  # let the page the user just asked for finish its layout
    try:
        return server.bridge.export_pdf(server.export_dir / f"{path.stem}.pdf")
    except printing.PrintError as failure:
        return error(503, str(failure))
