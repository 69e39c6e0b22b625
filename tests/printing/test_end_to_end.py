"""End to end: a real pywebview window on WebKitGTK, under Xvfb, exports its
page to PDF files that hold the page's text: A4 by default, to a relative
destination below the current folder, to "link/../name" (beside the folder
the link points to, as the system resolves it), and US Letter in landscape
with wide margins.

The window runs in a host process of its own (print_host.py), since
pywebview wants the main thread for its GUI loop. It runs once in the C
locale and once in German, where GTK names its file printer differently. Without the toolkit the
test is skipped with the reason, unless TIDEWING_REQUIRE_GUI=1, as in CI,
where a skip would hide a broken export and so fails instead.
"""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.gui

HOST = Path(__file__).with_name("print_host.py")
TOOLKIT_MISSING = 77
SENTENCE = "The heron waits beside the quiet harbour."
PAGE = f"""<!doctype html>
<html><head><meta charset="utf-8"><title>Print test</title></head>
<body><h1>Export</h1><p>{SENTENCE}</p></body></html>
"""


def unavailable(reason):
    if os.environ.get("TIDEWING_REQUIRE_GUI") == "1":
        pytest.fail(f"{reason}; TIDEWING_REQUIRE_GUI=1 does not allow skipping the GUI test")
    pytest.skip(reason)


def installed_locales():
    listing = subprocess.run(["locale", "-a"], capture_output=True, text=True)
    return {name.lower().replace("-", "") for name in listing.stdout.split()}


def run_host(printing, page, exports, language, cwd):
    package_root = str(Path(printing.__file__).resolve().parents[1])
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, LANG=language, LC_ALL=language, LANGUAGE="", PYTHONPATH=path)
    requests = json.dumps([{"destination": str(destination), "options": options} for destination, options in exports])
    command = ["xvfb-run", "-a", sys.executable, str(HOST), str(page), requests]
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd, timeout=300)


def output_of(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def page_size(pdf):
    """The first page's (width, height) in whole points, as pdfinfo reports it."""
    match = re.search(r"^Page size:\s+([\d.]+) x ([\d.]+) pts", output_of("pdfinfo", str(pdf)), re.MULTILINE)
    return round(float(match[1])), round(float(match[2]))


def text_left_edge(pdf):
    """Where, in points from the page's left edge, the page's first word starts."""
    return float(re.search(r'<word xMin="([\d.]+)"', output_of("pdftotext", "-bbox", str(pdf), "-"))[1])


@pytest.mark.parametrize("language", ["C.UTF-8", "de_DE.UTF-8"])
def test_real_window_exports_its_page_to_pdf(printing, tmp_path, language):
    for tool, package in [("xvfb-run", "xvfb xauth"), ("pdftotext", "poppler-utils"), ("pdfinfo", "poppler-utils")]:
        if shutil.which(tool) is None:
            unavailable(f"{tool} not found (Debian packages: {package})")
    if language.lower().replace("-", "") not in installed_locales():
        unavailable(f"locale {language} missing (Debian: locales, then localedef -i de_DE -f UTF-8 {language})")
    page = tmp_path / "page.html"
    page.write_text(PAGE, encoding="utf-8")
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    (tmp_path / "elsewhere" / "deep").mkdir(parents=True)
    (cwd / "link").symlink_to(tmp_path / "elsewhere" / "deep")
    default, relative, through_link, letter = (
        tmp_path / "exports" / "page.pdf",
        Path("rel dir/page two.pdf"),
        Path("link/../page three.pdf"),
        tmp_path / "letter.pdf",
    )
    exports = [
        (default, {}),
        (relative, {}),
        (through_link, {}),
        (letter, {"paper": "Letter", "landscape": True, "margins_mm": 30}),
    ]

    host = run_host(printing, page, exports, language, cwd)
    if host.returncode == TOOLKIT_MISSING:
        unavailable(f"{host.stderr.strip()} (needs PyGObject, pywebview and WebKitGTK 4.1)")
    assert host.returncode == 0, host.stderr
    outcome = json.loads(host.stdout.strip().splitlines()[-1])

    assert outcome["guilib"] == "webview.platforms.gtk"
    assert outcome["status"] == {"available": True, "backend": "webkitgtk", "can_export_pdf": True}
    assert outcome["loaded"] is True
    assert [report.get("error") for report in outcome["exports"]] == [None] * len(exports)
    for (destination, _), report in zip(exports, outcome["exports"]):
        written = cwd / destination  # a relative destination is below the host's current folder
        assert report["result"] == {
            "ok": True,
            "backend": "webkitgtk",
            "path": str(destination),
            "size": written.stat().st_size,
        }
        assert written.read_bytes().startswith(b"%PDF-")
        assert SENTENCE in " ".join(output_of("pdftotext", str(written), "-").split())

    assert (tmp_path / "elsewhere" / "page three.pdf").is_file() and not (cwd / "page three.pdf").exists()
    assert page_size(default) == page_size(cwd / relative) == (595, 842)  # A4
    assert page_size(letter) == (792, 612)  # US Letter, landscape
    thirty_mm = 30 / 25.4 * 72
    assert text_left_edge(default) < thirty_mm <= text_left_edge(letter)
