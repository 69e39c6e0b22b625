"""End to end: a real pywebview window on WebKitGTK, under Xvfb, exports its
page to a PDF that holds the page's text.

The window runs in a host process of its own (print_host.py), since
pywebview wants the main thread for its GUI loop. It runs once in the C
locale and once in German, where GTK names its file printer differently. Without the toolkit the
test is skipped with the reason, unless TIDEWING_REQUIRE_GUI=1, as in CI,
where a skip would hide a broken export and so fails instead.
"""

import json
import os
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


def run_host(printing, page, destination, language):
    package_root = str(Path(printing.__file__).resolve().parents[1])
    path = os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, LANG=language, LC_ALL=language, LANGUAGE="", PYTHONPATH=path)
    command = ["xvfb-run", "-a", sys.executable, str(HOST), str(page), str(destination)]
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=300)


def output_of(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("language", ["C.UTF-8", "de_DE.UTF-8"])
def test_real_window_exports_its_page_to_pdf(printing, tmp_path, language):
    for tool, package in [("xvfb-run", "xvfb xauth"), ("pdftotext", "poppler-utils"), ("pdfinfo", "poppler-utils")]:
        if shutil.which(tool) is None:
            unavailable(f"{tool} not found (Debian packages: {package})")
    if language.lower().replace("-", "") not in installed_locales():
        unavailable(f"locale {language} missing (Debian: locales, then localedef -i de_DE -f UTF-8 {language})")
    page = tmp_path / "page.html"
    page.write_text(PAGE, encoding="utf-8")
    destination = tmp_path / "exports" / "page.pdf"

    host = run_host(printing, page, destination, language)
    if host.returncode == TOOLKIT_MISSING:
        unavailable(f"{host.stderr.strip()} (needs PyGObject, pywebview and WebKitGTK 4.1)")
    assert host.returncode == 0, host.stderr
    outcome = json.loads(host.stdout.strip().splitlines()[-1])

    assert outcome["guilib"] == "webview.platforms.gtk"
    assert outcome["status"] == {"available": True, "backend": "webkitgtk", "can_export_pdf": True}
    assert outcome.get("error") is None and outcome["loaded"] is True
    size = destination.stat().st_size
    assert outcome["result"] == {"ok": True, "backend": "webkitgtk", "path": str(destination), "size": size}
    assert destination.read_bytes().startswith(b"%PDF-")
    assert SENTENCE in " ".join(output_of("pdftotext", str(destination), "-").split())
    assert "(A4)" in output_of("pdfinfo", str(destination))
