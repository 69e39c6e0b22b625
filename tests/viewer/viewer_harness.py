"""What the example viewer's tests share: a folder of notes with hostile
neighbours, and the viewer's server as a subprocess of its own.

Without what a test needs (the viewer's requirements, Chromium, its driver,
Selenium, a display) the test is skipped with the reason, unless
TIDEWING_REQUIRE_GUI=1, as in CI, where a skip would hide a broken viewer and
so fails instead.
"""

import http.client
import importlib.util
import json
import os
import re
import select
import struct
import subprocess
import sys
import zlib
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import urlencode

import pytest

VIEWER = Path(__file__).resolve().parents[2] / "examples" / "viewer"

START_TIMEOUT_S = 30
SECRET = "TOP SECRET: the lighthouse keeper's ledger"
GUIDE = """# Field guide

The heron waits beside the quiet harbour.

![A heron at dawn](img/heron.png)

- Walk the shore at low tide.
- Note each bird in [the deep notes](beta/deep.md).

| bird | seen |
|------|------|
| heron | 3 |
| curlew | 1 |

```
tide  06:40  low
```
"""
HOSTILE = """# Hostile

<script>fetch('/api/pwned?from=script'); alert('script')</script>

<img src="x" onerror="fetch('/api/pwned?from=onerror'); alert('onerror')">

[click me](javascript:fetch('/api/pwned?from=link');alert('link'))

[entity link](java&#115;cript:fetch('/api/pwned?from=entity'))

[upper link](JAVASCRIPT:fetch('/api/pwned?from=upper'))

<a href="javascript:alert('raw')">raw link</a>

![x](x "onerror=fetch('/api/pwned?from=title')")

![remote](http://127.0.0.1:9/pixel.png)

<iframe src="/api/pwned?from=iframe"></iframe>
"""


def unavailable(reason):
    if os.environ.get("TIDEWING_REQUIRE_GUI") == "1":
        pytest.fail(f"{reason}; TIDEWING_REQUIRE_GUI=1 does not allow skipping the viewer's tests")
    pytest.skip(reason)


def need_viewer_requirements():
    if importlib.util.find_spec("pyromark") is None:
        unavailable("pyromark missing (pip install -r examples/viewer/requirements.txt)")


def png(width, height, rgb=(0x1B, 0x6E, 0x8F)):
    """A small valid PNG of one colour."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\x00" + bytes(rgb) * width for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


@dataclass
class Notes:
    root: Path  # the folder the viewer is started on
    outside: Path  # beside it, never to be served
    home: Path
    state: Path

    def __truediv__(self, name):
        return self.root / name


def make_notes(tmp_path):
    root, outside, home, state = (tmp_path / name for name in ("notes", "outside", "home", "state"))
    for folder in (
        root / "img",
        root / "Alpha",
        root / "beta",
        root / "gamma",
        root / ".git",
        root / "node_modules",
        outside,
        home,
        state,
    ):
        folder.mkdir(parents=True)
    (root / "guide.md").write_text(GUIDE, encoding="utf-8")
    (root / "img" / "heron.png").write_bytes(png(120, 60))
    (root / "beta" / "deep.md").write_text("# Deep notes\n\nCurlews on the mudflats.\n", encoding="utf-8")
    (root / "apple.md").write_text("# Apple\n\nOrchard notes.\n", encoding="utf-8")
    (root / "Zebra.md").write_text("# Zebra\n\nStripes.\n", encoding="utf-8")
    (root / "README.MD").write_text("# Read me\n", encoding="utf-8")
    (root / "hostile.md").write_text(HOSTILE, encoding="utf-8")
    (root / ".hidden.md").write_text("# Hidden\n", encoding="utf-8")
    (root / "notes.txt").write_text("not Markdown\n", encoding="utf-8")
    (outside / "secret.md").write_text(f"# Secret\n\n{SECRET}\n", encoding="utf-8")
    (outside / "secret.png").write_bytes(png(2, 2))
    (home / "secret.md").write_text(f"# Home secret\n\n{SECRET}\n", encoding="utf-8")
    # Ways out of the folder, and a loop
    (root / "escape.md").symlink_to(outside / "secret.md")
    (root / "img" / "escape.png").symlink_to(outside / "secret.png")
    (root / "outside-link").symlink_to(outside, target_is_directory=True)
    (root / "loop-a.md").symlink_to(root / "loop-b.md")
    (root / "loop-b.md").symlink_to(root / "loop-a.md")
    (root / "img" / "loop.png").symlink_to(root / "img" / "loop.png")
    return Notes(root, outside, home, state)


def package_path():
    """PYTHONPATH for a child that must import the package the tests import."""
    from tidewing_quillery import pagecase

    package_root = str(Path(pagecase.__file__).resolve().parents[1])
    return os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))


class Viewer:
    """The viewer's server as a subprocess, on a free loopback port, with its own
    HOME and state folder; its request log (stderr) goes to a file."""

    def __init__(self, notes, log, *arguments, target=None, prefix=()):
        self.notes = notes
        self.prefix = list(prefix)  # a command the viewer runs under (xvfb-run)
        self.log_file = log
        self.arguments = [str(notes.root if target is None else target), *arguments]
        self.process = None

    def env(self):
        return dict(
            os.environ,
            HOME=str(self.notes.home),
            TIDEWING_MD_STATE_DIR=str(self.notes.state),
            PYTHONPATH=package_path(),
            PYTHONUNBUFFERED="1",
        )

    def start(self):
        with open(self.log_file, "a") as log:
            self.process = subprocess.Popen(
                [*self.prefix, sys.executable, str(VIEWER / "viewer.py"), "--port", "0", *self.arguments],
                stdout=subprocess.PIPE,
                stderr=log,
                env=self.env(),
                text=True,
                start_new_session=True,
            )
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT_S)
        line = self.process.stdout.readline() if ready else ""
        match = re.search(r"http://127\.0\.0\.1:(\d+)/(#token=(\S+))?", line)
        if match is None:
            self.stop()
            pytest.fail(f"the viewer did not start: {line!r}\n{self.log()}")
        self.port = int(match[1])
        self.url = match[0]
        self.token = match[3] or (self.notes.state / "access_token").read_text().strip()
        self.host = f"127.0.0.1:{self.port}"
        return self

    def stop(self):
        """End the viewer (and, for the window, its X server): the whole process
        group this fixture started."""
        if self.process is None:
            return
        if self.process.poll() is None:
            os.killpg(self.process.pid, 15)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, 9)
                self.process.wait(10)
        self.process.stdout.close()

    def restart(self):
        self.stop()
        return self.start()

    def log(self):
        return Path(self.log_file).read_text(errors="replace")

    def logged_paths(self):
        """The paths of the requests the server logged ("ADDRESS METHOD PATH STATUS")."""
        return [line.split()[2] for line in self.log().splitlines() if re.match(r"\S+ [A-Z]+ /\S* \d{3}$", line)]

    def request(self, method, target, *, token=True, host=None, headers=None, body=None, connection=None):
        """(status, headers, body) of one request with exact control of the
        request target and the Host header."""
        conn = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        conn.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
        conn.putheader("Host", self.host if host is None else host)
        all_headers = dict(headers or {})
        if token:
            all_headers.setdefault("X-Tidewing-Token", self.token)
        if body is not None:
            body = json.dumps(body).encode() if not isinstance(body, bytes) else body
            all_headers.setdefault("Content-Type", "application/json")
            all_headers["Content-Length"] = str(len(body))
        for name, value in all_headers.items():
            conn.putheader(name, value)
        conn.endheaders(body)
        response = conn.getresponse()
        data = response.read()
        if connection is None:
            conn.close()
        return response.status, response.headers, data

    def get(self, route, **params):
        return self.request("GET", f"{route}?{urlencode(params)}")

    def get_json(self, route, **params):
        status, _, data = self.get(route, **params)
        assert status == 200, (route, params, status, data)
        return json.loads(data)

    def post_json(self, route, body):
        status, _, data = self.request("POST", route, body=body)
        assert status == 200, (route, body, status, data)
        return json.loads(data)
