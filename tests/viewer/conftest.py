"""Fixtures for the example viewer's tests: the notes folder, the viewer's
server, its render function, and headless Chromium driven by Selenium."""

import importlib.util
import shutil

import pytest
from viewer_harness import Viewer, make_notes, need_viewer_requirements, unavailable


@pytest.fixture
def notes(tmp_path):
    return make_notes(tmp_path)


@pytest.fixture
def render():
    """The viewer's render(text, document) function."""
    need_viewer_requirements()
    from viewer_app import render

    return render.render


@pytest.fixture
def viewer(notes, tmp_path):
    need_viewer_requirements()
    running = Viewer(notes, tmp_path / "viewer.log").start()
    yield running
    running.stop()


@pytest.fixture(scope="session")
def browser():
    """Headless Chromium through Debian's chromedriver: Selenium's Service is
    pointed at it, so nothing is looked up or downloaded at run time."""
    if importlib.util.find_spec("selenium") is None:
        unavailable("selenium missing (pip install -r requirements-gui.txt)")
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or driver is None:
        unavailable("chromium or chromedriver missing (Debian packages: chromium chromium-driver)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--window-size=1100,700",
        "--no-first-run",
        "--disable-extensions",
    ):
        options.add_argument(argument)
    options.unhandled_prompt_behavior = "ignore"  # an alert stays up, for the test to find
    chrome = webdriver.Chrome(service=Service(driver), options=options)
    # The page area itself at 1100x700, whatever the browser's own frame takes.
    chrome.execute_cdp_cmd(
        "Emulation.setDeviceMetricsOverride", {"width": 1100, "height": 700, "deviceScaleFactor": 1, "mobile": False}
    )
    yield chrome
    chrome.quit()
