"""PrintBridge: binding with retries on a virtual clock, the result
dictionaries, the export's file checks, and the choice of backend."""

import logging
import os
from pathlib import Path
from types import SimpleNamespace

import pytest


@pytest.mark.parametrize(
    "platform, backend",
    [
        ("linux", "_GtkBackend"),
        ("linux2", "_GtkBackend"),
        ("darwin", "_CocoaBackend"),
        ("win32", "_EdgeChromiumBackend"),
        ("cygwin", "_EdgeChromiumBackend"),
    ],
)
def test_make_backend_by_platform(printing, monkeypatch, window, platform, backend):
    monkeypatch.setattr(printing.sys, "platform", platform)
    made = printing._make_backend(window=window)
    assert type(made) is getattr(printing, backend) and made.window is window


def test_make_backend_refuses_other_platforms(printing, monkeypatch, window):
    monkeypatch.setattr(printing, "sys", type("FakeSys", (), {"platform": "freebsd14"}))
    with pytest.raises(printing.PrintError, match=r"^no print backend for freebsd14$"):
        printing._make_backend(window)


def make_backend_class(printing, *, name="test", supports_pdf=True, failures=0, writes=b"%PDF"):
    """A host backend whose prepare fails `failures` times (across instances)."""
    attempts = []

    class TestBackend(printing._Backend):
        def prepare(self):
            attempts.append(self)
            if len(attempts) <= failures:
                raise printing.PrintError(f"not ready {len(attempts)}")

        def show_dialog(self):
            self.dialogs = getattr(self, "dialogs", 0) + 1

        def export_pdf(self, destination, **options):
            self.seen = destination.read_bytes() if destination.exists() else None
            self.options = options
            if writes is not None:
                destination.write_bytes(writes)

    TestBackend.name, TestBackend.supports_pdf, TestBackend.attempts = name, supports_pdf, attempts
    return TestBackend


def bound_bridge(printing, monkeypatch, window, **options):
    cls = make_backend_class(printing, **options)
    monkeypatch.setattr(printing, "_make_backend", cls)
    bridge = printing.PrintBridge()
    bridge.attach(window)
    return bridge


def test_new_bridge_is_unbound(printing, tmp_path):
    bridge = printing.PrintBridge()
    assert bridge.available is False
    assert bridge.status() == {"available": False, "backend": None, "can_export_pdf": False}
    for call in (bridge.print_dialog, lambda: bridge.export_pdf(tmp_path / "out.pdf")):
        with pytest.raises(printing.PrintError, match=r"^printing is not available on this platform build$"):
            call()
    assert list(tmp_path.iterdir()) == []


def test_attach_retries_until_prepare_succeeds(printing, monkeypatch, clock, window, caplog):
    cls = make_backend_class(printing, name="flaky", failures=2)
    monkeypatch.setattr(printing, "_make_backend", cls)
    bridge = printing.PrintBridge()
    with caplog.at_level(logging.INFO, logger="tidewing_quillery.printing"):
        assert bridge.attach(window=window) is None
    assert clock.sleeps == [0.25, 0.25]
    assert len({id(backend) for backend in cls.attempts}) == 3  # a fresh backend each time
    assert bridge._backend is cls.attempts[-1] and bridge._window is window
    assert [(r.levelname, r.msg, r.args, r.getMessage()) for r in caplog.records] == [
        ("INFO", "print backend ready: %s", ("flaky",), "print backend ready: flaky")
    ]
    assert bridge.status() == {"available": True, "backend": "flaky", "can_export_pdf": True}
    assert bridge.print_dialog() == {"ok": True, "backend": "flaky"} and bridge._backend.dialogs == 1


def test_attach_gives_up_after_ten_seconds(printing, monkeypatch, clock, window, caplog):
    cls = make_backend_class(printing, failures=10**6)
    monkeypatch.setattr(printing, "_make_backend", cls)
    bridge = printing.PrintBridge()
    bridge._backend = "previous"
    with caplog.at_level(logging.INFO, logger="tidewing_quillery.printing"):
        bridge.attach(window)
    assert len(cls.attempts) == 40 and clock.now == 1010.0
    [record] = caplog.records
    assert (record.levelname, record.msg, record.getMessage()) == (
        "WARNING",
        "printing unavailable: %s",
        "printing unavailable: not ready 40",
    )
    assert isinstance(record.args[0], printing.PrintError)
    assert bridge._backend is None and bridge.available is False


def test_attach_with_no_time_logs_none(printing, monkeypatch, clock, window, caplog):
    monkeypatch.setattr(printing, "_make_backend", make_backend_class(printing))
    readings = iter([0.0, 10.0])  # the budget is spent before the first attempt
    clock.monotonic = lambda: next(readings)
    with caplog.at_level(logging.WARNING, logger="tidewing_quillery.printing"):
        printing.PrintBridge().attach(window)
    assert caplog.records[0].getMessage() == "printing unavailable: None"


def test_attach_lets_non_exceptions_through(printing, monkeypatch, clock, window):
    class Stop(BaseException):
        pass

    def make(window):
        raise Stop()

    monkeypatch.setattr(printing, "_make_backend", make)
    with pytest.raises(Stop):
        printing.PrintBridge().attach(window)
    assert clock.sleeps == []


def test_export_refuses_backend_without_pdf(printing, monkeypatch, window, tmp_path):
    bridge = bound_bridge(printing, monkeypatch, window, name="none", supports_pdf=0)
    assert bridge.status()["can_export_pdf"] is False
    with pytest.raises(printing.PrintError, match=r"^none cannot export PDF directly$"):
        bridge.export_pdf(tmp_path / "new" / "out.pdf")
    assert not (tmp_path / "new").exists()


def test_export_expands_home_and_creates_folders(printing, monkeypatch, window, private_home):
    bridge = bound_bridge(printing, monkeypatch, window, writes=b"%PDF-1.4 twelve")
    result = bridge.export_pdf(destination=Path("~/exports/2024/page.pdf"))
    expected = private_home / "exports" / "2024" / "page.pdf"
    assert result == {"ok": True, "backend": "test", "path": str(expected), "size": 15}
    assert list(result) == ["ok", "backend", "path", "size"]
    assert expected.read_bytes() == b"%PDF-1.4 twelve"


def test_export_keeps_relative_destination_relative(printing, monkeypatch, window, tmp_path):
    monkeypatch.chdir(tmp_path)
    bridge = bound_bridge(printing, monkeypatch, window)
    assert bridge.export_pdf(Path("out/page.pdf"))["path"] == os.path.join("out", "page.pdf")


@pytest.mark.parametrize("writes", [None, b""], ids=["no file", "empty file"])
def test_export_without_a_usable_file_fails(printing, monkeypatch, window, tmp_path, writes):
    bridge = bound_bridge(printing, monkeypatch, window, writes=writes)
    with pytest.raises(printing.PrintError, match=r"^the print backend reported success but wrote no file$"):
        bridge.export_pdf(tmp_path / "out.pdf")
    assert (tmp_path / "out.pdf").exists() == (writes is not None)


def test_export_does_not_take_an_old_file_for_a_new_one(printing, monkeypatch, window, tmp_path):
    old = tmp_path / "out.pdf"
    old.write_bytes(b"%PDF old export")
    bridge = bound_bridge(printing, monkeypatch, window, writes=None)
    with pytest.raises(printing.PrintError, match=r"^the print backend reported success but wrote no file$"):
        bridge.export_pdf(old)
    assert bridge._backend.seen == b"%PDF old export"  # never deleted or truncated beforehand
    assert old.read_bytes() == b"%PDF old export"


def test_export_replacing_an_old_file_succeeds(printing, monkeypatch, window, tmp_path):
    old = tmp_path / "out.pdf"
    old.write_bytes(b"%PDF old export")
    os.utime(old, ns=(1, 1))
    bridge = bound_bridge(printing, monkeypatch, window, writes=b"%PDF new export")
    assert bridge.export_pdf(old)["size"] == len(b"%PDF new export")
    assert bridge._backend.seen == b"%PDF old export"


def test_export_of_a_str_destination_fails_before_any_folder(printing, monkeypatch, window, tmp_path):
    bridge = bound_bridge(printing, monkeypatch, window)
    with pytest.raises(AttributeError):
        bridge.export_pdf(str(tmp_path / "new" / "out.pdf"))
    assert not (tmp_path / "new").exists()


def test_default_options_call_the_backend_with_the_destination_alone(printing, monkeypatch, window, tmp_path):
    bridge = bound_bridge(printing, monkeypatch, window)  # page_options () as in _Backend
    bridge.export_pdf(tmp_path / "a.pdf", paper=None, landscape=False, margins_mm=None)
    assert bridge._backend.options == {}
    with pytest.raises(printing.PrintError, match=r"^test does not support the PDF export option 'paper'$"):
        bridge.export_pdf(tmp_path / "b.pdf", paper="A4")  # A4 named is asked for, not the backend's own
    bridge._backend.page_options = ("paper",)
    bridge.export_pdf(tmp_path / "b.pdf", paper="A4")
    assert bridge._backend.options == {"paper": "a4"}


def test_options_other_than_the_defaults_are_passed_on_checked(printing, monkeypatch, window, tmp_path):
    bridge = bound_bridge(printing, monkeypatch, window)
    bridge._backend.page_options = ("paper", "landscape", "margins_mm")

    class Paper(str):
        def lower(self):
            raise AssertionError("the text itself is compared")

    bridge.export_pdf(tmp_path / "a.pdf", paper=Paper("LETTER"), landscape=True, margins_mm=12)
    assert bridge._backend.options == {"paper": "letter", "landscape": True, "margins_mm": 12.0}
    assert [type(value) for value in bridge._backend.options.values()] == [str, bool, float]
    bridge.export_pdf(tmp_path / "b.pdf", margins_mm=0)
    assert bridge._backend.options == {"margins_mm": 0.0}


@pytest.mark.parametrize("page_options, refused", [((), "paper"), (("paper",), "landscape")])
def test_a_backend_that_does_not_take_an_option_refuses_it(
    printing, monkeypatch, window, tmp_path, page_options, refused
):
    bridge = bound_bridge(printing, monkeypatch, window)
    bridge._backend.page_options = page_options
    with pytest.raises(printing.PrintError, match=rf"^test does not support the PDF export option '{refused}'$"):
        bridge.export_pdf(tmp_path / "new" / "a.pdf", paper="a5", landscape=True)
    assert not (tmp_path / "new").exists() and not hasattr(bridge._backend, "options")


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"paper": "b5"}, ValueError, "paper must be one of 'a3', 'a4', 'a5', 'letter', 'legal', not 'b5'"),
        (
            {"paper": "ＬＥＴＴＥＲ"},
            ValueError,
            "paper must be one of 'a3', 'a4', 'a5', 'letter', 'legal', not 'ＬＥＴＴＥＲ'",
        ),
        ({"paper": b"a4"}, TypeError, "paper must be a str, not bytes"),
        ({"landscape": 1}, TypeError, "landscape must be a bool, not int"),
        ({"margins_mm": "10"}, TypeError, "margins_mm must be None or a number, not str"),
        ({"margins_mm": True}, TypeError, "margins_mm must be None or a number, not bool"),
        ({"margins_mm": -0.5}, ValueError, "margins_mm must be >= 0, not -0.5"),
        ({"margins_mm": float("nan")}, ValueError, "margins_mm must be >= 0, not nan"),
        ({"margins_mm": -(10**400)}, ValueError, "margins_mm must be >= 0, not -1000"),
        ({"margins_mm": 105}, ValueError, "margins_mm=105 leaves no room to print on a4 paper"),
        ({"margins_mm": 74, "paper": "A5"}, ValueError, "margins_mm=74 leaves no room to print on a5 paper"),
        ({"margins_mm": 10**400}, ValueError, "margins_mm=1000"),
        ({"margins_mm": float("inf")}, ValueError, "margins_mm=inf leaves no room to print on a4 paper"),
    ],
    ids=lambda value: repr(value)[:40],
)
def test_bad_options_fail_before_anything_is_touched(printing, monkeypatch, window, tmp_path, options, error, message):
    for bridge in (printing.PrintBridge(), bound_bridge(printing, monkeypatch, window)):
        with pytest.raises(error) as caught:
            bridge.export_pdf(tmp_path / "new" / "a.pdf", **options)
        assert str(caught.value).startswith(message)
    assert not (tmp_path / "new").exists() and not hasattr(bridge._backend, "options")


def test_options_are_keyword_only(printing, monkeypatch, window, tmp_path):
    bridge = bound_bridge(printing, monkeypatch, window)
    with pytest.raises(TypeError):
        bridge.export_pdf(tmp_path / "a.pdf", "letter")
    with pytest.raises(TypeError):
        bridge.export_pdf(tmp_path / "a.pdf", orientation="landscape")


# ------------------------------------------------ the destination's folder


def bridge_on_fake_toolkit(printing, request, monkeypatch, pywebview, window, platform):
    """A bridge attached to the real backend of `platform`, over the toolkit fakes."""
    if platform == "linux":
        request.getfixturevalue("gtk")
        pywebview.register(window, SimpleNamespace(webview="web view"))
    elif platform == "darwin":
        cocoa = request.getfixturevalue("cocoa")
        pywebview.register(window, SimpleNamespace(webview=cocoa.web_view()), platform="cocoa")
    else:
        dotnet = request.getfixturevalue("dotnet")
        pywebview.register(
            window, SimpleNamespace(webview=SimpleNamespace(CoreWebView2=dotnet.core())), platform="winforms"
        )
    monkeypatch.setattr(printing.sys, "platform", platform)
    bridge = printing.PrintBridge()
    bridge.attach(window)
    assert bridge.available
    return bridge


@pytest.mark.parametrize("platform", ["linux", "darwin", "win32"])
def test_the_engine_writes_where_the_system_resolves_the_destination(
    printing, request, monkeypatch, pywebview, window, journal, tmp_path, platform
):
    # "link/../x.pdf" is x.pdf beside the folder the link points to, not in the current folder.
    (tmp_path / "elsewhere" / "deep").mkdir(parents=True)
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    (cwd / "link").symlink_to(tmp_path / "elsewhere" / "deep")
    (cwd / "x.pdf").write_bytes(b"%PDF an unrelated file")
    monkeypatch.chdir(cwd)
    bridge = bridge_on_fake_toolkit(printing, request, monkeypatch, pywebview, window, platform)

    result = bridge.export_pdf(Path("link/../x.pdf"))
    written = tmp_path / "elsewhere" / "x.pdf"
    assert result == {"ok": True, "backend": bridge._backend.name, "path": "link/../x.pdf", "size": 13}
    assert written.read_bytes() == b"%PDF-1.4 fake"
    assert (cwd / "x.pdf").read_bytes() == b"%PDF an unrelated file"
    engine_paths = [entry[2] for entry in journal.entries if entry[1] in ("GLib.filename_to_uri", "PrintToPdfAsync")]
    if platform == "darwin":
        engine_paths = [request.getfixturevalue("cocoa").last_info.settings["saving-url"][1]]
    assert engine_paths == [str(written)]


def test_backend_and_checks_get_the_resolved_destination(printing, monkeypatch, window, tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    bridge = bound_bridge(printing, monkeypatch, window, writes=b"%PDF")
    seen = []
    export = bridge._backend.export_pdf
    bridge._backend.export_pdf = lambda destination: (seen.append(destination), export(destination))

    result = bridge.export_pdf(tmp_path / "link" / "new" / ".." / "out.pdf")
    assert seen == [tmp_path / "real" / "out.pdf"] and type(seen[0]) is type(tmp_path)
    assert result["path"] == str(tmp_path / "link" / "new" / ".." / "out.pdf") and result["size"] == 4
    assert (tmp_path / "real" / "new").is_dir()  # the missing folder was made first, through the link
