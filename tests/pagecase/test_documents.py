"""Document resolution, reading, titles, payloads and change signatures."""

import dataclasses
import os
import random
import threading
import time

import forked
import pytest

from reference.documents import title_of as reference_title
from tidewing_quillery import pagecase

LIMIT = 32 * 1024 * 1024


def read(path, data):
    path.write_bytes(data)
    return pagecase.read_document(path)


# ------------------------------------------------------------------ reading


def test_size_limit_is_inclusive(tmp_path):
    exact, over = tmp_path / "exact.md", tmp_path / "over.md"
    with open(exact, "wb") as f:
        f.truncate(LIMIT)
    with open(over, "wb") as f:
        f.truncate(LIMIT + 1)
    document = pagecase.read_document(exact)
    assert document.size == LIMIT and len(document.text) == LIMIT
    assert pagecase.read_document(over) is None


def test_size_limit_is_read_at_call_time(tmp_path, monkeypatch):
    path = tmp_path / "a.md"
    path.write_text("0123456789")
    monkeypatch.setattr(pagecase, "MAX_DOCUMENT_BYTES", 9)
    assert pagecase.read_document(path) is None
    monkeypatch.setattr(pagecase, "MAX_DOCUMENT_BYTES", 10.0)
    assert pagecase.read_document(path).text == "0123456789"


@pytest.mark.parametrize(
    "data, text",
    [
        (b"\xef\xbb\xbf# Hello\n", "# Hello\n"),
        (b"\xef\xbb\xbf\xef\xbb\xbfx", "\ufeffx"),
        (b"ok \xff\xfe end \xc3\xa9", "ok \ufffd\ufffd end \xe9"),
        (b"\xef\xbb\xbf\xff", "\ufffd"),
        (b"a\r\nb\rc\n", "a\r\nb\rc\n"),
        (b"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x9d", "caf\xe9 \u20ac \U0001f4dd"),
        (b"", ""),
    ],
)
def test_decoding(tmp_path, data, text):
    assert read(tmp_path / "d.md", data).text == text


def test_document_record(tmp_path):
    path = tmp_path / "c.md"
    document = read(path, b"# T\n")
    st = os.stat(path)
    assert document == pagecase.Document(path=path, text="# T\n", mtime=st.st_mtime, size=st.st_size)
    assert document.path is path
    assert [f.name for f in dataclasses.fields(pagecase.Document)] == ["path", "text", "mtime", "size"]
    assert hash(document) == hash(dataclasses.replace(document))
    assert repr(document).startswith("Document(path=")
    with pytest.raises(dataclasses.FrozenInstanceError):
        document.text = "changed"
    with pytest.raises(dataclasses.FrozenInstanceError):
        del document.size
    assert pagecase.stat_signature(path) == (document.mtime, document.size)
    assert type(document.mtime) is float and type(document.size) is int


def test_payload_keys_and_values(tmp_path):
    folder = tmp_path / "a" / "b"
    folder.mkdir(parents=True)
    document = read(folder / "c.md", b"intro\n# Title\n")
    payload = document.as_payload()
    assert list(payload) == ["path", "name", "dir", "title", "text", "mtime", "size"]
    assert payload["path"] == str(folder / "c.md")
    assert payload["name"] == "c.md"
    assert payload["dir"] == str(folder)
    assert payload["title"] == "Title"
    assert (payload["mtime"], payload["size"]) == (document.mtime, document.size)


@pytest.mark.parametrize("target", ["missing.md", "folder.md"])
def test_unreadable_paths_give_none(tmp_path, target):
    (tmp_path / "folder.md").mkdir()
    assert pagecase.read_document(tmp_path / target) is None
    assert pagecase.stat_signature(tmp_path / "missing.md") is None


@pytest.mark.native_fs
def test_never_holds_more_than_the_limit_of_a_growing_file(tmp_path, monkeypatch):
    """A pipe stats as empty and then delivers more than the limit allows."""
    monkeypatch.setattr(pagecase, "MAX_DOCUMENT_BYTES", 1000)
    fifo = tmp_path / "grows.md"

    def feed(size):
        os.mkfifo(fifo)

        def write():
            try:
                fifo.write_bytes(b"x" * size)
            except BrokenPipeError:  # the reader stopped early, as it should
                pass

        writer = threading.Thread(target=write)
        writer.start()
        return writer

    writer = feed(50_000)
    assert pagecase.read_document(fifo) is None
    writer.join()
    fifo.unlink()
    writer = feed(1000)
    assert pagecase.read_document(fifo).text == "x" * 1000
    writer.join()


def test_other_path_objects_take_the_documented_calls(tmp_path):
    class Recorder:
        def __init__(self, path):
            self.path, self.calls = path, []

        def stat(self):
            self.calls.append("stat")
            return self.path.stat()

        def read_bytes(self):
            self.calls.append("read_bytes")
            return self.path.read_bytes()

    path = tmp_path / "r.md"
    path.write_bytes(b"# R")
    recorder = Recorder(path)
    assert pagecase.read_document(recorder).text == "# R"
    assert recorder.calls == ["stat", "read_bytes"]
    with pytest.raises(AttributeError):
        pagecase.read_document(str(path))


def test_path_subclasses_use_their_own_methods(tmp_path, monkeypatch):
    path = tmp_path / "s.md"
    path.write_bytes(b"on disk")

    class Overriding(type(path)):
        def read_bytes(self):
            return bytearray(b"from read_bytes")

        def stat(self):
            return os.stat_result((0o100644, 0, 0, 1, 0, 0, 2**70, 0, 0, 0))

    document = Overriding(path)
    assert pagecase.read_document(document) is None  # its stat() says 2**70 bytes
    assert pagecase.stat_signature(document) == (0.0, 2**70)
    monkeypatch.setattr(pagecase, "MAX_DOCUMENT_BYTES", 2**71)
    assert pagecase.read_document(document).text == "from read_bytes"


def test_a_document_waiting_for_its_writer_leaves_other_threads_running(tmp_path):
    """Opening a FIFO waits for a writer; this thread must be able to become that writer."""
    fifo = tmp_path / "pipe.md"
    os.mkfifo(fifo)

    def read_while_writing():
        results = []
        reader = threading.Thread(target=lambda: results.append(pagecase.read_document(fifo)))
        reader.start()
        time.sleep(0.05)
        fifo.write_bytes(b"# Piped")
        reader.join()
        return results[0].title

    assert forked.run_one(read_while_writing).value == "Piped"


def test_a_fifo_is_read_to_its_end_across_its_writers_pauses(tmp_path):
    """A FIFO opened without waiting has nothing to read while its writer pauses: that is
    no end of the file, which comes only when the writer closes it."""
    fifo = tmp_path / "paced.md"
    os.mkfifo(fifo)

    def read_paced_writing():
        def write():
            with open(fifo, "wb", buffering=0) as pipe:
                for piece in (b"# Paced\n", b"second\n", b"third\n"):
                    pipe.write(piece)
                    time.sleep(0.1)

        writer = threading.Thread(target=write)
        writer.start()
        document = pagecase.read_document(fifo)
        writer.join()
        return document.text

    assert forked.run_one(read_paced_writing).value == "# Paced\nsecond\nthird\n"


# ------------------------------------------------------------------- titles


@pytest.mark.parametrize(
    "text, title",
    [
        ("   #   Spaced title  \n", "Spaced title"),
        ("## Sub\n# Main\n", "Main"),
        ("#NoSpace\n", "n.md"),
        ("\n" * 40 + "# Late\n", "n.md"),
        ("\n" * 39 + "# Just in time\n", "Just in time"),
        ("# Title #\n", "Title #"),
        ("# Windows\r\nbody\r\n", "Windows"),
        ("\r\r# After CRs\r", "After CRs"),
        ("x\u2028# After a line separator", "After a line separator"),
        ("\u3000# \u00e9t\u00e9 \u3000", "\u00e9t\u00e9"),
        ("#\n# \n", "n.md"),
        ("```\n# Fenced\n```", "Fenced"),
        ("", "n.md"),
    ],
)
def test_titles(tmp_path, text, title):
    document = pagecase.Document(path=tmp_path / "n.md", text=text, mtime=0.0, size=0)
    assert document.title == title == reference_title(text, "n.md")


def test_title_matches_splitlines_on_random_text(tmp_path):
    """Every line boundary and white space that str.splitlines()/strip() know, mixed at random."""
    alphabet = ["#", "# ", " ", "a", "\u00e9", "\U0001f4dd", "\t", "\x1f", "\xa0", "\u2000"]
    alphabet += ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
    rng = random.Random(1234)
    path = tmp_path / "r.md"
    for _ in range(3000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 120)))
        document = pagecase.Document(path=path, text=text, mtime=0.0, size=0)
        assert document.title == reference_title(text, "r.md"), repr(text)


def test_title_is_computed_per_access_and_only_from_the_first_lines(tmp_path):
    huge = "# Top\n" + "line\n" * 1_000_000
    document = pagecase.Document(path=tmp_path / "h.md", text=huge, mtime=0.0, size=0)
    assert document.title == "Top"
    assert pagecase.Document.title.fget(dataclasses.replace(document, text="# Other")) == "Other"


# --------------------------------------------------------------- resolution


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "x.md").mkdir()
    (tmp_path / "notes.txt").write_text("plain")
    (tmp_path / "b.txt").write_text("plain")
    (tmp_path / "b.md").write_text("# B")
    (tmp_path / "a.md").symlink_to(tmp_path / "b.txt")
    (tmp_path / "a.txt").symlink_to(tmp_path / "b.md")
    return tmp_path


@pytest.mark.parametrize("name", ["x.md", "notes.txt", "a.md", "missing.md"])
def test_resolve_document_refuses(tree, name):
    assert pagecase.resolve_document(str(tree / name)) is None


def test_resolve_document_judges_the_link_target(tree):
    assert pagecase.resolve_document(str(tree / "a.txt")) == tree / "b.md"


def test_resolve_document_relative_and_home(tree, monkeypatch):
    monkeypatch.chdir(tree)
    assert pagecase.resolve_document("b.md") == tree / "b.md"
    assert pagecase.resolve_document("./sub/../b.md") == tree / "b.md"
    monkeypatch.setenv("HOME", str(tree))
    assert pagecase.resolve_document("~/b.md") == tree / "b.md"
    assert pagecase.resolve_document("") is None
    assert pagecase.resolve_document(None) is None


def test_resolve_document_uses_the_modules_markdown_test(tree, monkeypatch):
    seen = []
    monkeypatch.setattr(pagecase, "is_markdown", lambda path: seen.append(path) or True)
    assert pagecase.resolve_document(str(tree / "notes.txt")) == tree / "notes.txt"
    assert seen == [tree / "notes.txt"]


@pytest.mark.parametrize("raw", ["x" * 1000 + ".md", "d/" + "x" * 300 + "/y.md"])
def test_names_too_long_for_the_system_give_none(tmp_path, raw):
    (tmp_path / "d").mkdir()
    document = tmp_path / "doc.md"
    document.write_text("# D")
    assert pagecase.resolve_document(str(tmp_path / raw)) is None
    assert pagecase.resolve_asset(document, raw.replace(".md", ".png")) is None


@pytest.fixture
def page(tmp_path):
    folder = tmp_path / "w" / "d"
    (folder / "img").mkdir(parents=True)
    (folder / "img" / "p.PNG").write_bytes(b"png")
    (folder / "notes.md").write_text("# N")
    (tmp_path / "w" / "x.png").write_bytes(b"png")
    document = folder / "doc.md"
    document.write_text("# Doc")
    return document


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("img/p.PNG", "img/p.PNG"),
        ("../x.png", None),
        ("notes.md", None),
        ("img/q.png", None),
        ("img", None),
        ("", None),
    ],
)
def test_resolve_asset(page, raw, expected):
    result = pagecase.resolve_asset(page, raw)
    assert result == (None if expected is None else page.parent / expected)


def test_resolve_asset_goes_through_the_modules_contain(page, monkeypatch):
    calls = []

    def contain(root, raw):
        calls.append((root, raw))
        return root.parent / "x.png"

    monkeypatch.setattr(pagecase, "contain", contain)
    assert pagecase.resolve_asset(page, "anything") == page.parent.parent / "x.png"
    assert calls == [(page.parent, "anything")]
    monkeypatch.setattr(pagecase, "ASSET_SUFFIXES", frozenset({".gif"}))
    assert pagecase.resolve_asset(page, "anything") is None


def test_read_document_builds_the_modules_document_class(tmp_path, monkeypatch):
    built = []
    monkeypatch.setattr(pagecase, "Document", lambda **fields: built.append(fields) or "made")
    path = tmp_path / "a.md"
    path.write_text("x")
    assert pagecase.read_document(path) == "made"
    assert list(built[0]) == ["path", "text", "mtime", "size"]


def test_signature_follows_links_and_changes(tmp_path):
    target = tmp_path / "t.md"
    target.write_text("one")
    link = tmp_path / "l.md"
    link.symlink_to(target)
    before = pagecase.stat_signature(link)
    assert before == (target.stat().st_mtime, 3)
    os.utime(target, ns=(0, 1_500_000_000_123_456_789))
    assert pagecase.stat_signature(link) == (target.stat().st_mtime, 3) != before
