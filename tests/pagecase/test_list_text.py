"""The text of list files for strings with surrogate code points, natively and through json.dumps."""

import json
import os
import types

import pytest

from tidewing_quillery import pagecase


@pytest.fixture(params=["native", "json.dumps"])
def rendering(request, monkeypatch):
    if request.param == "json.dumps":  # a wrapper is not the json.dumps bound at load
        monkeypatch.setattr(
            pagecase,
            "json",
            types.SimpleNamespace(dumps=lambda *args, **options: json.dumps(*args, **options), loads=json.loads),
        )
    return request.param


# The native file write escapes what UTF-8 cannot hold; pathlib's write_text raises.
@pytest.mark.parametrize(
    "rendering", ["native", pytest.param("json.dumps", marks=pytest.mark.native_fs)], indirect=True
)
@pytest.mark.parametrize(
    "text", ["\udcff", "\ud83d", "a\ud83d.md", "\ude00\ud83d", "\ud83d\ud83d\udc00"[:2], "\ud800x\udc00"]
)
def test_lone_surrogates_load_back_unchanged(tmp_path, rendering, text):
    target = tmp_path / "list.json"
    pagecase.PathList(target, [{"path": text, text: [text]}]).save()
    assert json.loads(target.read_bytes().decode("utf-8")) == [{"path": text, text: [text]}]


@pytest.mark.parametrize("where", ["value", "key", "nested"])
def test_a_split_surrogate_pair_raises_what_the_utf8_write_raises(tmp_path, rendering, where):
    split = "/notes/\ud83d\ude00.md"  # two code points that any JSON reader would join into one
    entry = {"path": "/a.md", "value": {"path": split}, "key": {split: 1}, "nested": [[split]]}[where]
    target = tmp_path / "list.json"
    target.write_text("old")
    with pytest.raises(UnicodeEncodeError) as raised:
        pagecase.PathList(target, [{"path": "/a.md", "x": entry}]).save()
    assert raised.value.reason == "surrogates not allowed"
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["list.json"]
