"""The viewer's server against another local user and a hostile document
author: terminal control in the log, bodies sent without the token, files
swapped for FIFOs while they are served, documents shaped to be slow, slow and
numerous connections, and tokens kept from an earlier run."""

import http.client
import json
import os
import signal
import socket
import stat
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from urllib.parse import urlencode

import pytest
from viewer_harness import png

pytestmark = pytest.mark.browser

ANSWER_S = 10  # a guard against a hang; bench/bench_render.py holds the speed goals
MiB = 1 << 20


def raw_exchange(viewer, data, timeout=ANSWER_S):
    """The status line and the rest of what the server sent back for `data`."""
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=timeout) as raw:
        raw.sendall(data)
        answer = http.client.HTTPResponse(raw)
        answer.begin()
        return answer.status, answer.read()


def test_control_characters_reach_the_log_escaped(viewer):
    host = viewer.host.encode()
    title = b"\x1b]0;viewer-owned\x07\x1b[2J\x9b"
    assert raw_exchange(viewer, title + b" / HTTP/1.1\r\nHost: " + host + b"\r\n\r\n")[0] == 501
    assert raw_exchange(viewer, b"GET /\x1b[2J\x08 HTTP/1.1\r\nHost: " + host + b"\r\n\r\n")[0] == 404
    logged = viewer.log_file.read_bytes()
    assert not any(byte < 0x20 and byte != 0x0A or byte == 0x7F for byte in logged), logged
    assert b"\\x1b]0;viewer-owned\\x07\\x1b[2J" in logged and b"/\\x1b[2J\\x08 404" in logged


@pytest.mark.parametrize("route", ["/api/favorite", "/api/roots"])
def test_a_body_is_read_only_from_an_allowed_request(viewer, route):
    nested = b"[" * 60000
    assert viewer.request("POST", route, token=False, body=nested)[0] == 403
    assert viewer.request("POST", route, host=f"rebound.example:{viewer.port}", body=nested)[0] == 403
    assert viewer.request("POST", route, body=nested)[0] == 400
    # Refused at its headers: the answer comes without the promised body.
    head = f"POST {route} HTTP/1.1\r\nHost: {viewer.host}\r\nContent-Type: application/json\r\n"
    assert raw_exchange(viewer, (head + "Content-Length: 60000\r\n\r\n").encode(), timeout=3)[0] == 403
    assert "Traceback" not in viewer.log() and " 500" not in viewer.log()


def requests_while_swapped(viewer, target, regular, route, params, count):
    """The statuses of `count` requests, with /api/lists between them, while a
    thread keeps replacing `target` with a copy of `regular` or a FIFO; the
    file is left a regular one again."""
    stop = threading.Event()

    def swap():
        spare = target.with_name(target.name + ".next")
        while not stop.is_set():
            os.mkfifo(spare)
            os.replace(spare, target)
            spare.write_bytes(regular)
            os.replace(spare, target)

    swapper = threading.Thread(target=swap)
    swapper.start()
    statuses = []
    try:
        with ThreadPoolExecutor(4) as pool:
            for status, _, _ in pool.map(lambda _: viewer.get(route, **params), range(count)):
                statuses.append(status)
                assert viewer.get_json("/api/lists")["favorites"] == []
    finally:
        stop.set()
        swapper.join()
    assert viewer.get(route, **params)[0] == 200
    return statuses


def test_an_image_swapped_for_a_fifo_holds_no_request(viewer, notes):
    image = notes / "img" / "swap.png"
    params = {"doc": str(notes / "guide.md"), "src": "img/swap.png"}
    assert set(requests_while_swapped(viewer, image, png(4, 4), "/api/asset", params, 200)) <= {200, 404}


def test_a_document_swapped_for_a_fifo_stops_nothing(viewer, notes):
    document = notes / "swap.md"
    params = {"path": str(document)}
    assert set(requests_while_swapped(viewer, document, b"# Swap\n", "/api/doc", params, 100)) <= {200, 404}
    viewer.process.send_signal(signal.SIGINT)  # Ctrl-C still ends it
    assert viewer.process.wait(ANSWER_S) == 0
    viewer.process.send_signal(signal.SIGINT)  # Ctrl-C still ends it
    assert viewer.process.wait(ANSWER_S) == 0


SHAPES = {
    "long list": ("# List\n\n", "- a\n", "<li>a</li>"),
    "deep nesting": ("", ">", "<blockquote>"),
    "emphasis markers": ("", "*a **b _c __d ", "*a **b"),
    "long table": ("| a | b |\n|---|---|\n", "| c | d |\n", "<td>c</td>"),
    "many links": ("", "[a](b.md) ![i](c.png) <https://e.org> ", 'data-doc="'),
    "raw HTML": ("", "<b onclick=x>", "&lt;b onclick=x&gt;"),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_a_mebibyte_of_any_shape_is_answered(viewer, notes, shape):
    head, unit, shown = SHAPES[shape]
    document = notes / "shape.md"
    document.write_text(head + unit * ((MiB - len(head)) // len(unit)))
    connection = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=ANSWER_S)
    try:
        status, _, body = viewer.request("GET", f"/api/doc?{urlencode({'path': document})}", connection=connection)
    finally:
        connection.close()
    assert status == 200 and shown in json.loads(body)["html"]


def test_a_slow_request_is_cut_off_at_its_deadline(viewer):
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=ANSWER_S) as raw:
        started = time.monotonic()
        raw.sendall(f"GET /api/session HTTP/1.1\r\nHost: {viewer.host}\r\n".encode())
        try:
            while time.monotonic() - started < 2 * ANSWER_S:
                raw.sendall(b"X-Drip: 1\r\n")
                time.sleep(1)
            ended = None
        except OSError:  # the server closed the connection
            ended = time.monotonic() - started
    assert ended is not None and ended < ANSWER_S + 3


def test_connections_past_the_cap_are_refused_plainly(viewer):
    from viewer_app.connections import MAX_CONNECTIONS

    held = [socket.create_connection(("127.0.0.1", viewer.port), timeout=ANSWER_S) for _ in range(MAX_CONNECTIONS)]
    try:
        status, body = raw_exchange(viewer, f"GET /api/lists HTTP/1.1\r\nHost: {viewer.host}\r\n\r\n".encode())
        assert (status, json.loads(body)) == (503, {"error": "too many connections"})
    finally:
        for connection in held:
            connection.close()
    deadline = time.monotonic() + ANSWER_S
    while viewer.request("GET", "/api/lists")[0] != 200:  # the held threads see their connections end
        assert time.monotonic() < deadline
        time.sleep(0.1)


def test_a_burst_of_connections_waits_for_no_retry(viewer):
    def connect(_):
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", viewer.port), timeout=ANSWER_S):
            return time.monotonic() - started

    with ThreadPoolExecutor(60) as pool:
        waits = list(pool.map(connect, range(60)))
    assert max(waits) < 0.9  # a dropped connection attempt is retried after 1 s


def test_every_run_has_a_token_of_its_own(viewer, notes):
    earlier = viewer.token
    viewer.restart()
    assert viewer.token != earlier
    assert viewer.request("GET", "/api/session", headers={"X-Tidewing-Token": earlier})[0] == 403
    query = urlencode({"doc": str(notes / "guide.md"), "src": "img/heron.png", "token": earlier})
    assert viewer.request("GET", f"/api/asset?{query}", token=False)[0] == 403
    assert viewer.request("GET", "/api/session")[0] == 200
    stored = notes.state / "access_token"
    assert stored.read_text() == viewer.token and stat.S_IMODE(stored.stat().st_mode) == 0o600
