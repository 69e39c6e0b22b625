"""8 clients at once, 2,000 mixed requests: no error, no lost update to the
state lists, and the state files parse afterwards."""

import http.client
import json
import threading
from urllib.parse import urlencode

import pytest

pytestmark = pytest.mark.browser

CLIENTS = 8
REQUESTS = 2000


def test_eight_clients_two_thousand_mixed_requests(viewer, notes):
    own = [notes / f"c{client}.md" for client in range(CLIENTS)]
    for client, path in enumerate(own):
        path.write_text(f"# Client {client}\n\n![heron](img/heron.png)\n")
    guide, deep = str(notes / "guide.md"), str(notes / "beta" / "deep.md")
    shared = [
        ("GET", "/api/doc", {"path": guide}),
        ("GET", "/api/doc", {"path": deep}),
        ("GET", "/api/asset", {"doc": guide, "src": "img/heron.png"}),
        ("GET", "/api/folder", {"path": str(notes.root)}),
        ("GET", "/api/folder", {"path": str(notes / "beta")}),
        ("GET", "/api/search", {"q": "gd"}),
        ("GET", "/api/lists", {}),
        ("GET", "/api/signature", {"path": guide}),
        ("GET", "/api/session", {}),
    ]
    failures, counts = [], [0] * CLIENTS

    def client(number):
        connection = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=60)
        mine = str(own[number])
        try:
            for index in range(REQUESTS // CLIENTS):
                if index % 5 == 4:  # the client's own document, its star set off, on, off, ... on
                    method, route, params = "POST", "/api/favorite", {"path": mine, "favorite": index % 10 == 9}
                elif index % 5 == 3:
                    method, route, params = "GET", "/api/doc", {"path": mine}
                else:
                    method, route, params = shared[(index + number) % len(shared)]
                if method == "GET":
                    reply = viewer.request("GET", f"{route}?{urlencode(params)}", connection=connection)
                else:
                    reply = viewer.request("POST", route, body=params, connection=connection)
                status, _, body = reply
                if status != 200:
                    failures.append((route, params, status, body[:200]))
                counts[number] += 1
        except Exception as exc:  # reported below with the others
            failures.append(("client", number, repr(exc)))
        finally:
            connection.close()

    threads = [threading.Thread(target=client, args=(number,)) for number in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert failures == []
    assert sum(counts) == REQUESTS
    for name in ("recent.json", "favorites.json", "workspaces.json", "access_token"):
        assert (notes.state / name).is_file()
        if name.endswith(".json"):
            json.loads((notes.state / name).read_text())
    lists = viewer.get_json("/api/lists")
    # Each client's last word on its own star was "on": a lost update would miss one.
    assert sorted(entry["path"] for entry in lists["favorites"]) == sorted(map(str, own))
    recent = [entry["path"] for entry in lists["recent"]]
    assert len(recent) == len(set(recent)) and set(map(str, own)) <= set(recent)
    assert [entry["path"] for entry in viewer.get_json("/api/session")["tree"]] == [str(notes.root)]
