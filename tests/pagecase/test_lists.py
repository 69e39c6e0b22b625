"""Recent files, favourites and workspaces: records, file format, loading and the list operations."""

import collections
import dataclasses
import enum
import json
import os
import types
from pathlib import Path

import pytest

from tidewing_quillery import pagecase

LIST_CLASSES = [
    (pagecase.RecentFiles, "recent.json"),
    (pagecase.Favorites, "favorites.json"),
    (pagecase.Workspaces, "workspaces.json"),
]


@pytest.fixture
def state(tmp_path, monkeypatch):
    folder = tmp_path / "state"
    monkeypatch.setenv("TIDEWING_MD_STATE_DIR", str(folder))
    return folder


@pytest.fixture
def clock(monkeypatch):
    ticks = iter(range(1000, 2000))
    monkeypatch.setattr(pagecase, "time", types.SimpleNamespace(time=lambda: float(next(ticks))))


def store(state, name, entries):
    state.mkdir(exist_ok=True)
    (state / name).write_text(json.dumps(entries, indent=2), encoding="utf-8")


def paths(entries):
    return [e["path"] for e in entries]


def identity(path):
    status = os.stat(path)
    return status.st_ino, status.st_mtime_ns


def test_records_are_standard_dataclasses(tmp_path):
    for cls, fields in [
        (pagecase.PathList, ["path", "entries", "limit"]),
        (pagecase.Favorites, None),
        (pagecase.Workspaces, None),
        (pagecase.RecentFiles, ["path", "entries"]),
    ]:
        assert [f.name for f in dataclasses.fields(cls)] == (fields or ["path", "entries", "limit"])
        assert cls.__hash__ is None and cls.__module__ == "tidewing_quillery.pagecase"
    assert issubclass(pagecase.Favorites, pagecase.PathList) and issubclass(pagecase.Workspaces, pagecase.PathList)
    assert not issubclass(pagecase.RecentFiles, pagecase.PathList)
    first, second = pagecase.Favorites(tmp_path), pagecase.Favorites(path=tmp_path)
    assert first == second and first.entries is not second.entries
    assert first != pagecase.Workspaces(tmp_path) and first != pagecase.Favorites(tmp_path, [], 3)
    assert (
        repr(pagecase.RecentFiles(Path("/r"), [{"path": "/a"}]))
        == "RecentFiles(path=PosixPath('/r'), entries=[{'path': '/a'}])"
    )


def test_loaders_build_the_class_they_are_called_on(state):
    class Mine(pagecase.Favorites):
        pass

    assert pagecase.PathList._load("x.json", 7) == pagecase.PathList(state / "x.json", [], 7)
    assert type(Mine._load(filename="y.json", limit=None)) is Mine and type(Mine.load()) is Mine
    for cls, name in LIST_CLASSES:
        loaded = cls.load()
        assert type(loaded) is cls and loaded.path == state / name and loaded.entries == []
        assert getattr(loaded, "limit", None) is None
    assert sorted(os.listdir(state)) == []  # loading writes nothing


def test_arguments_are_exactly_the_documented_ones(tmp_path):
    listed = pagecase.Workspaces(tmp_path / "w.json", [{"path": str(tmp_path)}])
    assert listed.prune(Path.is_dir) == listed.prune(check=Path.is_dir) == [{"path": str(tmp_path)}]
    for call in [
        lambda: listed.contains(),
        lambda: listed.save(1),
        lambda: listed.roots(1),
        lambda: pagecase.RecentFiles(tmp_path).prune(Path.is_file),
        lambda: listed.prune(Path.is_dir, 1),
        lambda: pagecase.PathList._load("x"),
        lambda: listed.add(tmp_path, tmp_path),
    ]:
        with pytest.raises(TypeError):
            call()


class Number(enum.IntEnum):
    ONE = 1


class Text(str):
    pass


@pytest.mark.parametrize(
    "entries",
    [
        [],
        [{"path": "/home/user/notes/plan.md", "name": "plan.md", "added_at": 1733650912.4187}],
        [
            {
                "path": "/ü/日本/😀.md",
                "name": "\u2028\x7f",
                "nested": {"list": [1, [], {}], "empty": {}},
                "flags": [True, False, None],
            }
        ],
        [
            {
                "path": '/q"\\\b\f\n\r\t\x00\x1f',
                "floats": [
                    0.1,
                    1e16,
                    1e-07,
                    -0.0,
                    5e-324,
                    1.7976931348623157e308,
                    1e22,
                    123456789.125,
                    float("nan"),
                    float("inf"),
                    float("-inf"),
                ],
                "ints": [0, -1, 2**63, -(2**70)],
            }
        ],
        # values the native rendering leaves to json.dumps
        [
            {
                "path": "/x",
                "enum": Number.ONE,
                3: "int key",
                2.5: None,
                "sub": Text("t"),
                "ordered": collections.OrderedDict(a=1),
            },
            ("tuple", 1),
        ],
    ],
)
def test_saved_text_is_what_json_dumps_renders(tmp_path, entries):
    target = tmp_path / "list.json"
    pagecase.PathList(target, entries).save()
    assert target.read_bytes() == json.dumps(entries, ensure_ascii=False, indent=2).encode()


@pytest.mark.parametrize("bad, error", [({1, 2}, TypeError), ("cycle", ValueError)])
def test_unrenderable_entries_raise_before_the_file_is_touched(tmp_path, bad, error):
    target = tmp_path / "list.json"
    target.write_text("old")
    entries = [{"path": "/a", "x": bad}]
    if bad == "cycle":
        entries[0]["x"] = entries
    with pytest.raises(error):
        pagecase.RecentFiles(target, entries).save()
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["list.json"]


def test_json_is_looked_up_at_call_time(state, monkeypatch):
    fake = types.SimpleNamespace(
        dumps=lambda e, **options: f"{len(e)} {sorted(options.items())}", loads=lambda text: [{"path": text}]
    )
    monkeypatch.setattr(pagecase, "json", fake)
    store(state, "favorites.json", [])
    favorites = pagecase.Favorites.load()
    assert paths(favorites.entries) == ["[]"]
    favorites.save()
    assert (state / "favorites.json").read_text() == "1 [('ensure_ascii', False), ('indent', 2)]"


@pytest.mark.parametrize(
    "content",
    [
        b'{"path": "/a"}',
        b"null",
        b"3",
        b'"/a"',
        b"",
        b'[{"path": "/a"',
        b'\xef\xbb\xbf[{"path": "/a"}]',
        b'[{"path": "/a\xff"}]',
        None,
    ],
)
def test_damaged_files_load_as_empty_lists(state, content):
    state.mkdir()
    if content is None:
        (state / "recent.json").mkdir()
    else:
        (state / "recent.json").write_bytes(content)
    assert pagecase.RecentFiles.load().entries == []
    assert pagecase.PathList._load("missing.json", None).entries == []
    assert not (state / "missing.json").exists()


def test_only_objects_with_a_true_path_load_and_extra_members_survive(state):
    kept = {"path": "/keep", "extra": {"n": [1, 2]}, "name": "é"}
    store(
        state,
        "favorites.json",
        [1, "s", {}, {"path": ""}, {"path": None}, {"path": False}, {"path": 0}, {"path": []}, kept],
    )
    favorites = pagecase.Favorites.load()
    assert favorites.entries == [kept]
    favorites.save()
    assert (state / "favorites.json").read_text() == json.dumps([kept], ensure_ascii=False, indent=2)
    (state / "favorites.json").write_bytes(b'[\r\n{"path": "/a"},\r{"path": 5}\r\n]')
    assert pagecase.Favorites.load().entries == [{"path": "/a"}, {"path": 5}]


def test_membership_and_removal_compare_path_text_exactly(state):
    store(
        state,
        "favorites.json",
        [
            {"path": "/notes/a.md/"},
            {"path": "/Notes/a.md"},
            {"path": "notes/a.md"},
            {"path": "/b.md", "n": 1},
            {"path": 5},
            {"path": "/b.md", "n": 2},
        ],
    )
    favorites = pagecase.Favorites.load()
    assert not favorites.contains(Path("/notes/a.md")) and not favorites.contains(5)
    before, unchanged = favorites.entries, identity(state / "favorites.json")
    favorites.remove(Path("/absent.md"))
    assert identity(state / "favorites.json") == unchanged  # nothing removed, nothing written
    favorites.remove("/b.md")
    assert paths(favorites.entries) == ["/notes/a.md/", "/Notes/a.md", "notes/a.md", 5]
    assert paths(before) == ["/notes/a.md/", "/Notes/a.md", "notes/a.md", "/b.md", 5, "/b.md"]  # stale
    assert paths(pagecase.Favorites.load().entries) == paths(favorites.entries)


@pytest.mark.parametrize("rebind", [False, True])
def test_prune_keeps_existing_files_in_order_and_fails_without_changes(state, tmp_path, monkeypatch, rebind):
    if rebind:  # the documented steps through the module's current Path
        monkeypatch.setattr(pagecase, "Path", type("MyPath", (type(tmp_path),), {}))
    for name in ("a.md", "b.md"):
        (tmp_path / name).write_text("x")
    (tmp_path / "folder.md").mkdir()
    texts = [
        str(tmp_path / "a.md") + "/",
        str(tmp_path / "gone.md"),
        "",
        "a\0b",
        str(tmp_path / "folder.md"),
        str(tmp_path / "b.md"),
    ]
    state.mkdir()
    listed = pagecase.PathList(state / "list.json", [{"path": text} for text in texts])
    kept = listed.prune()
    assert kept is listed.entries and paths(kept) == [texts[0], texts[5]]
    assert paths(json.loads((state / "list.json").read_text())) == paths(kept)
    unchanged = identity(state / "list.json")
    assert listed.prune() is kept and identity(state / "list.json") == unchanged
    assert paths(pagecase.RecentFiles(state / "r.json", [{"path": t} for t in texts]).prune()) == paths(kept)
    assert paths(pagecase.PathList(state / "d.json", [{"path": t} for t in texts]).prune(Path.is_dir)) == ["", texts[4]]
    for entries, error in [([{"path": 5}], TypeError), ([{"name": "x"}], KeyError)]:
        listed = pagecase.PathList(tmp_path / "bad.json", entries)
        with pytest.raises(error):
            listed.prune()
        assert listed.entries is entries and not (tmp_path / "bad.json").exists()
    with pytest.raises(ZeroDivisionError):
        pagecase.PathList(tmp_path / "bad.json", [{"path": "/"}]).prune(check=lambda path: 1 / 0)


def test_recent_add_moves_to_the_front_and_caps_the_list(state, clock):
    store(state, "recent.json", [{"path": f"/doc/{n}.md", "opened_at": 1} for n in range(25)] + [{"path": "/doc/3.md"}])
    recent = pagecase.RecentFiles.load()
    assert len(recent.entries) == 26
    recent.add(Path("/doc/new.md"))
    assert paths(recent.entries) == ["/doc/new.md"] + [f"/doc/{n}.md" for n in range(19)]
    recent.add(Path("/doc/3.md"))
    assert paths(recent.entries)[:2] == ["/doc/3.md", "/doc/new.md"] and len(recent.entries) == 20
    assert recent.entries[0] == {"path": "/doc/3.md", "name": "3.md", "opened_at": 1001.0}
    assert json.loads((state / "recent.json").read_text()) == recent.entries


def test_recent_add_reads_the_limit_at_each_call(state, monkeypatch):
    recent = pagecase.RecentFiles.load()
    monkeypatch.setattr(pagecase, "_RECENT_LIMIT", 2)
    for name in "abc":
        recent.add(Path("/d") / name)
    assert paths(recent.entries) == ["/d/c", "/d/b"]
    with pytest.raises(AttributeError):
        recent.add("/d/plain-str")
    assert paths(json.loads((state / "recent.json").read_text())) == ["/d/c", "/d/b"]


def test_favourites_toggle_appends_and_removes(state, clock):
    store(state, "favorites.json", [{"path": "/twice"}, {"path": "/twice"}])
    favorites = pagecase.Favorites.load()
    assert favorites.toggle(Path("/twice")) is False and favorites.entries == []
    assert [favorites.toggle(Path(p)) for p in ("/a.md", "/b.md", "/c.md", "/a.md", "/a.md")] == [
        True,
        True,
        True,
        False,
        True,
    ]
    assert paths(favorites.entries) == ["/b.md", "/c.md", "/a.md"]
    assert list(favorites.entries[2].items()) == [("path", "/a.md"), ("name", "a.md"), ("added_at", 1003.0)]
    assert pagecase.Favorites.load().entries == favorites.entries


def test_workspaces_register_once_and_roots_drop_what_is_gone(state, tmp_path):
    folders = [tmp_path / name for name in ("one", "two", "three")]
    for folder in folders:
        folder.mkdir()
    (tmp_path / "file").write_text("x")
    workspaces = pagecase.Workspaces.load()
    for folder in folders + [tmp_path / "file", Path("/"), folders[0]]:
        workspaces.add(folder)
    assert workspaces.entries[4]["name"] == "/" and len(workspaces.entries) == 5
    folders[1].rmdir()
    assert workspaces.roots() == [folders[0], folders[2], Path("/")]
    unchanged = identity(state / "workspaces.json")
    workspaces.add(folders[0])
    assert workspaces.roots() == [folders[0], folders[2], Path("/")]
    assert identity(state / "workspaces.json") == unchanged


@pytest.fixture
def nested(tmp_path):
    data = tmp_path / "data"
    (data / "notes").mkdir(parents=True)
    (tmp_path / "elsewhere").mkdir()
    (data / "out").symlink_to(tmp_path / "elsewhere")
    return data


@pytest.mark.parametrize(
    "order, target, owner",
    [
        ("data first", "data/notes/a.md", "data"),
        ("notes first", "data/notes/a.md", "data/notes"),
        ("data first", "data/notes/../other/b.md", "data"),
        ("data first", "elsewhere/c.md", None),
        ("data first", "data/out/d.md", None),
        ("notes first", "notes/e.md", "data/notes"),
        ("data first", "data/a\0b", None),
        ("data first", "", None),
    ],
)
def test_owning_root_is_the_first_root_that_contains(tmp_path, nested, order, target, owner):
    roots = [nested, nested / "notes"] if order == "data first" else [nested / "notes", nested]
    workspaces = pagecase.Workspaces(tmp_path / "w.json", [{"path": str(r)} for r in roots])
    raw = target if target.startswith("notes") or not target else str(tmp_path / target)
    assert workspaces.owning_root(raw) == (owner and tmp_path / owner)


def test_owning_root_calls_the_modules_contain(tmp_path, nested, monkeypatch):
    workspaces = pagecase.Workspaces(tmp_path / "w.json", [{"path": str(nested)}])
    assert pagecase.Workspaces(tmp_path / "none.json").owning_root(nested) is None
    monkeypatch.setattr(pagecase, "contain", lambda root, raw: root if raw == "anything" else None)
    assert workspaces.owning_root("anything") == nested and workspaces.owning_root(nested) is None
    assert not (tmp_path / "w.json").exists()


def test_loading_never_reads_a_temporary_file(state):
    state.mkdir()
    (state / f".recent.json.{os.getpid()}.{os.getpid()}.tmp").write_text(json.dumps([{"path": "/left/over"}]))
    assert pagecase.RecentFiles.load().entries == []
    pagecase.RecentFiles.load().add(Path("/a.md"))  # our own stale temporary is no obstacle
    assert [e["path"] for e in pagecase.RecentFiles.load().entries] == ["/a.md"]


@pytest.mark.parametrize("through_json", [False, pytest.param(True, marks=pytest.mark.native_fs)])
def test_undecodable_file_names_round_trip(state, tmp_path, monkeypatch, through_json):
    if through_json:  # json.dumps of the module's json, not the native rendering
        monkeypatch.setattr(
            pagecase,
            "json",
            types.SimpleNamespace(dumps=lambda *args, **options: json.dumps(*args, **options), loads=json.loads),
        )
    document = tmp_path / os.fsdecode(b"caf\xe9 \xff.md")
    document.write_text("x")
    recent = pagecase.RecentFiles.load()
    recent.add(document)
    raw = (state / "recent.json").read_bytes()
    assert raw == json.dumps(recent.entries, ensure_ascii=False, indent=2).encode("utf-8", "backslashreplace")
    assert b"caf\\udce9 \\udcff.md" in raw and raw.decode("utf-8")
    loaded = pagecase.RecentFiles.load()
    assert loaded == recent and loaded.prune() == recent.entries
