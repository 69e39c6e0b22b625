"""The viewer's server under hostile requests, sent with http.client (exact
request targets and Host headers): every path that leaves the folder is not
found, every request without the token or from the wrong Host or site is
forbidden, and no refusal says more than that."""

import http.client
import json
import socket
from urllib.parse import quote, urlencode

import pytest
from viewer_harness import SECRET

pytestmark = pytest.mark.browser

NOT_FOUND = (404, {"error": "not found"})
FORBIDDEN = (403, {"error": "forbidden"})


def outcome(reply):
    status, headers, body = reply
    assert SECRET.encode() not in body
    assert headers["Content-Security-Policy"].startswith("default-src 'none'")
    assert headers["X-Content-Type-Options"] == "nosniff"
    return status, json.loads(body)


def test_the_page_and_its_api_answer_with_the_token(viewer, notes):
    status, headers, body = viewer.request("GET", "/", token=False)
    assert status == 200 and b'<script src="/app.js"' in body
    assert headers["Content-Security-Policy"] == (
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
        "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"
    )
    assert viewer.get_json("/api/doc", path=str(notes / "guide.md"))["title"] == "Field guide"
    status, headers, body = viewer.get("/api/asset", doc=str(notes / "guide.md"), src="img/heron.png")
    assert (status, headers["Content-Type"]) == (200, "image/png")
    assert body == (notes / "img" / "heron.png").read_bytes()
    assert "sandbox" in headers["Content-Security-Policy"]
    # An <img> sends the token as a parameter instead of a header.
    query = urlencode({"doc": str(notes / "guide.md"), "src": "img/heron.png", "token": viewer.token})
    assert viewer.request("GET", f"/api/asset?{query}", token=False)[0] == 200


def hostile_documents(notes):
    root, outside = str(notes.root), str(notes.outside)
    return {
        "dot-dot": f"{root}/../outside/secret.md",
        "encoded dot-dot": f"{root}/%2e%2e/outside/secret.md",
        "absolute outside": f"{outside}/secret.md",
        "system file": "/etc/passwd",
        "home": "~/secret.md",
        "link out": f"{root}/escape.md",
        "through a linked folder": f"{root}/outside-link/secret.md",
        "loop of links": f"{root}/loop-a.md",
        "NUL": f"{root}/guide.md\x00.md",
        "folder": f"{root}/beta",
        "not Markdown": f"{root}/notes.txt",
        "missing": f"{root}/missing.md",
        "empty": "",
    }


def hostile_assets(notes):
    guide, deep = str(notes / "guide.md"), str(notes / "beta" / "deep.md")
    return {
        "dot-dot": (guide, "../outside/secret.png"),
        "encoded dot-dot": (guide, "%2e%2e/outside/secret.png"),
        "absolute outside": (guide, f"{notes.outside}/secret.png"),
        "above the document's folder": (deep, "../img/heron.png"),
        "link out": (guide, "img/escape.png"),
        "loop of links": (guide, "img/loop.png"),
        "NUL": (guide, "img/heron.png\x00"),
        "not an image": (guide, "apple.md"),
        "document outside": (f"{notes.outside}/secret.md", "secret.png"),
        "document through a link": (str(notes / "escape.md"), "secret.png"),
    }


def test_paths_out_of_the_folder_are_not_found(viewer, notes):
    for case, raw in hostile_documents(notes).items():
        for route in ("/api/doc", "/api/signature"):
            assert outcome(viewer.get(route, path=raw)) == NOT_FOUND, (case, route)
    for case, (document, src) in hostile_assets(notes).items():
        assert outcome(viewer.get("/api/asset", doc=document, src=src)) == NOT_FOUND, case
    for case, raw in {
        "dot-dot": f"{notes.root}/..",
        "outside": str(notes.outside),
        "NUL": f"{notes.root}\x00",
        "linked folder": str(notes / "outside-link"),
        "root of all": "/",
    }.items():
        assert outcome(viewer.get("/api/folder", path=raw)) == NOT_FOUND, case
    assert (
        outcome(viewer.request("POST", "/api/favorite", body={"path": f"{notes.outside}/secret.md", "favorite": True}))
        == NOT_FOUND
    )
    # The encoded forms reach the store decoded once, and a second encoding is just a name.
    double = f"/api/doc?path={quote(str(notes.root))}/%252e%252e/outside/secret.md"
    assert outcome(viewer.request("GET", double)) == NOT_FOUND


def test_request_targets_outside_the_routes_are_not_found(viewer):
    for target in (
        "/../../etc/passwd",
        "/%2e%2e/%2e%2e/etc/passwd",
        "/app.js/../index.html",
        "/static/app.js",
        "/api/doc/../../../etc/passwd",
        "/api/pwned",
        f"http://{viewer.host}/api/session",
        "//etc/passwd",
    ):
        assert outcome(viewer.request("GET", target)) == NOT_FOUND, target


@pytest.mark.parametrize(
    "request_text, status",
    [
        ("GET /api/doc?path=/etc/passwd\x00.md HTTP/1.1\r\nHost: {host}\r\nX-Tidewing-Token: {token}\r\n\r\n", 404),
        ("GET /{long} HTTP/1.1\r\nHost: {host}\r\n\r\n", 414),
        ("GET / HTTP/1.1\r\nHost: {host}\r\n" + "X-Filler: y\r\n" * 120 + "\r\n", 431),
    ],
    ids=["NUL", "long line", "many headers"],
)
def test_raw_requests_the_parser_refuses(viewer, request_text, status):
    with socket.create_connection(("127.0.0.1", viewer.port), timeout=10) as raw:
        raw.sendall(request_text.format(host=viewer.host, token=viewer.token, long="a" * 70000).encode())
        answer = http.client.HTTPResponse(raw)
        answer.begin()
        assert outcome((answer.status, answer.headers, answer.read()))[0] == status
    assert viewer.get_json("/api/lists") == {"recent": [], "favorites": []}  # and the server goes on


def test_requests_without_the_token_are_forbidden(viewer, notes):
    routes = [
        ("GET", "/api/session"),
        ("GET", f"/api/doc?path={notes / 'guide.md'}"),
        ("GET", "/api/lists"),
        ("GET", f"/api/asset?doc={notes / 'guide.md'}&src=img/heron.png"),
        ("GET", "/api/search?q=g"),
        ("GET", "/api/browse?path=/"),
        ("GET", "/api/shortcuts"),
        ("POST", "/api/roots"),
    ]
    for method, target in routes:
        body = {"path": str(notes.outside)} if method == "POST" else None
        assert outcome(viewer.request(method, target, token=False, body=body)) == FORBIDDEN, target
        for wrong in ("", viewer.token[:-1], viewer.token + "x", viewer.token.swapcase(), "é" * 22):
            assert (
                outcome(viewer.request(method, target, headers={"X-Tidewing-Token": wrong}, body=body)) == FORBIDDEN
            ), (target, wrong)
    assert viewer.get_json("/api/session")["tree"][0]["path"] == str(notes.root)  # nothing was added


def test_another_host_or_site_is_forbidden(viewer):
    port = viewer.port
    for host in (
        f"evil.example:{port}",
        "127.0.0.1",
        f"127.0.0.1:{port + 1}",
        f"127.0.0.1:{port}.evil.example",
        f"localhost.evil.example:{port}",
        "",
    ):
        for target in ("/", "/app.js", "/api/session"):
            assert outcome(viewer.request("GET", target, host=host)) == FORBIDDEN, (host, target)
    assert outcome(viewer.request("GET", "/api/session", host=f"LOCALHOST:{port}"))[0] == 200
    # Two Host headers: no guessing which one counts.
    assert outcome(viewer.request("GET", "/api/session", headers={"Host": f"evil.example:{port}"})) == FORBIDDEN
    for header in (
        {"Origin": "http://evil.example"},
        {"Origin": f"http://127.0.0.1:{port + 1}"},
        {"Sec-Fetch-Site": "cross-site"},
        {"Sec-Fetch-Site": "same-site"},
    ):
        assert outcome(viewer.request("GET", "/api/session", headers=header)) == FORBIDDEN, header
    assert (
        outcome(
            viewer.request(
                "GET", "/api/session", headers={"Origin": f"http://127.0.0.1:{port}", "Sec-Fetch-Site": "same-origin"}
            )
        )[0]
        == 200
    )


def test_malformed_requests_get_a_plain_refusal(viewer, notes):
    guide = str(notes / "guide.md")
    for body, content_type in (
        (b"not json", "application/json"),
        (b"[1, 2]", "application/json"),
        (json.dumps({"path": guide, "favorite": True}).encode(), "text/plain"),
        (json.dumps({"path": guide, "favorite": "yes"}).encode(), "application/json"),
        (json.dumps({"path": 7, "favorite": True}).encode(), "application/json"),
    ):
        status, _ = outcome(viewer.request("POST", "/api/favorite", body=body, headers={"Content-Type": content_type}))
        assert status == 400, body
    too_big = b'{"path": "' + b"a" * 70000 + b'"}'
    assert outcome(viewer.request("POST", "/api/favorite", body=too_big))[0] == 400
    assert outcome(viewer.request("GET", "/api/search?" + "&".join(f"q{i}=1" for i in range(20))))[0] == 400
    assert outcome(viewer.request("PUT", "/api/session"))[0] == 501
    assert outcome(viewer.request("GET", "/api/session"))[0] == 200  # and the server goes on
