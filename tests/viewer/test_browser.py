"""The viewer as its users see it: headless Chromium on the page the server
gives, with the address (and token) the server printed.

Set TIDEWING_VIEWER_SCREENSHOT=PATH to have the document test save the
page as the README's screenshot.
"""

import contextlib
import os
import re
import socket
import time
from pathlib import Path

import pytest
from viewer_harness import Viewer

from tidewing_quillery import pagecase

pytestmark = pytest.mark.browser

WAIT_S = 10
EDIT_NOTICED_S = 5  # the page polls the document's signature every second
# What the page itself asks the server for; nothing else may ever be logged.
PAGE_REQUESTS = {
    "/",
    "/missing.png",
    "/app.js",
    "/app.css",
    "/favicon.ico",
    "/api/session",
    "/api/doc",
    "/api/lists",
    "/api/signature",
    "/api/asset",
    "/api/folder",
    "/api/search",
    "/api/favorite",
}


def wait_for(condition, timeout=WAIT_S, what="the page"):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.05)


def load(browser, viewer):
    browser.get(viewer.url)
    wait_for(lambda: browser.execute_script("return document.body.dataset.ready === '1'"), what="the session")


def shown(browser):
    """(title, path, text) of the document the page shows."""
    no_alert(browser)  # while an alert is up, the page answers no script
    return browser.execute_script(
        "const a = document.getElementById('document');"
        "return [document.getElementById('doc-title').textContent, a.dataset.path || null, a.innerText];"
    )


def click_doc(browser, where, path):
    browser.execute_script(
        "arguments[0].click()", browser.find_element("css selector", f"{where} a[data-doc='{path}']")
    )
    wait_for(lambda: shown(browser)[1] == str(path), what=f"{path} to open")


def tree_level(browser, folder):
    """The tree's entries under one folder node, in the page's order."""
    return browser.execute_script(
        "const node = [...document.querySelectorAll('#tree li.tree-folder')]"
        "  .find((li) => li.dataset.path === arguments[0]);"
        "return [...node.querySelector(':scope > ul').children].map((li) => li.dataset.path);",
        str(folder),
    )


def no_alert(browser):
    from selenium.common.exceptions import NoAlertPresentException

    try:
        text = browser.switch_to.alert.text
    except NoAlertPresentException:
        return True
    pytest.fail(f"a document's script ran: alert {text!r}")


def test_tree_document_and_images(browser, viewer, notes):
    load(browser, viewer)
    expected = pagecase.list_folder(notes.root)
    assert tree_level(browser, notes.root) == [entry["path"] for entry in expected["folders"] + expected["files"]]
    assert [Path(path).name for path in tree_level(browser, notes.root)] == [
        "Alpha",
        "beta",
        "gamma",
        "img",
        "apple.md",
        "guide.md",
        "hostile.md",
        "README.MD",
        "Zebra.md",
    ]

    browser.find_element("css selector", f"#tree li[data-path='{notes / 'beta'}'] > button").click()
    wait_for(lambda: tree_level(browser, notes / "beta"), what="beta to expand")
    assert tree_level(browser, notes / "beta") == [notes.root.joinpath("beta", "deep.md").as_posix()]

    click_doc(browser, "#tree", notes / "guide.md")
    title, _, text = shown(browser)
    assert title == "Field guide" and "The heron waits beside the quiet harbour." in text
    images = wait_for(
        lambda: browser.execute_script(
            "const images = [...document.querySelectorAll('#document img')];"
            "return images.every((image) => image.complete) && images.map((image) => image.naturalWidth);"
        )
    )
    assert images == [120]
    save_screenshot(browser)

    click_doc(browser, "#document", notes / "beta" / "deep.md")  # a relative link between documents
    assert shown(browser)[0] == "Deep notes"


def save_screenshot(browser):
    destination = os.environ.get("TIDEWING_VIEWER_SCREENSHOT")
    if destination:
        browser.find_element("css selector", "#favorite").click()
        wait_for(lambda: browser.find_elements("css selector", "#favorites a"), what="the favourite")
        browser.save_screenshot(destination)


def test_quick_open_finds_a_document_by_a_few_letters(browser, viewer, notes):
    load(browser, viewer)
    box = browser.find_element("css selector", "#quick-open")
    box.send_keys("bdp")  # beta/deep.md
    hits = wait_for(lambda: browser.find_elements("css selector", "#quick-results a[data-doc]"), what="results")
    assert hits[0].get_attribute("data-doc") == str(notes / "beta" / "deep.md")
    box.send_keys("\n")
    wait_for(lambda: shown(browser)[0] == "Deep notes", what="the first result to open")
    assert not browser.find_element("css selector", "#quick-results").is_displayed()


def entries(browser, list_id):
    return [link.get_attribute("data-doc") for link in browser.find_elements("css selector", f"#{list_id} a")]


def test_favourites_and_recent_files_survive_a_restart(browser, viewer, notes):
    load(browser, viewer)
    click_doc(browser, "#tree", notes / "guide.md")
    browser.find_element("css selector", "#favorite").click()
    wait_for(lambda: entries(browser, "favorites") == [str(notes / "guide.md")], what="the favourite")
    click_doc(browser, "#tree", notes / "apple.md")
    assert browser.find_element("css selector", "#favorite").get_attribute("aria-pressed") == "false"

    viewer.restart()
    load(browser, viewer)
    assert entries(browser, "favorites") == [str(notes / "guide.md")]
    assert entries(browser, "recent") == [str(notes / "apple.md"), str(notes / "guide.md")]
    click_doc(browser, "#favorites", notes / "guide.md")
    assert browser.find_element("css selector", "#favorite").get_attribute("aria-pressed") == "true"


def test_a_folder_added_through_the_picker_joins_the_tree(browser, viewer, notes):
    load(browser, viewer)
    browser.find_element("css selector", "#add-folder").click()

    def picker_path():
        return browser.find_element("css selector", "#picker-path").text

    wait_for(lambda: picker_path() == str(notes.home), what="the picker at home")
    labels = [button.text for button in browser.find_elements("css selector", "#picker-shortcuts button")]
    assert labels[0] == "Home" and labels[-1] == "Filesystem"
    browser.find_element("css selector", "#picker-up").click()
    wait_for(lambda: picker_path() == str(notes.home.parent), what="the parent folder")
    browser.find_element("css selector", f"#picker-folders button[data-path='{notes.outside}']").click()
    wait_for(lambda: picker_path() == str(notes.outside), what="the chosen folder")
    assert browser.find_element("css selector", "#picker-count").text == "1 Markdown document here"
    browser.find_element("css selector", "#picker-add").click()
    roots = "return [...document.querySelectorAll('#tree > li')].map((li) => li.dataset.path);"
    wait_for(lambda: browser.execute_script(roots) == [str(notes.root), str(notes.outside)], what="the new root")
    assert not browser.find_element("css selector", "#picker").is_displayed()
    assert tree_level(browser, notes.outside) == [str(notes.outside / "secret.md")]


def test_an_edit_on_disk_shows_within_seconds(browser, viewer, notes):
    load(browser, viewer)
    click_doc(browser, "#tree", notes / "apple.md")
    document = notes / "apple.md"
    document.write_text(document.read_text() + "\nWindfall apples, counted at dusk.\n")
    started = time.monotonic()
    wait_for(lambda: "Windfall apples" in shown(browser)[2], timeout=EDIT_NOTICED_S, what="the edit")
    assert time.monotonic() - started < EDIT_NOTICED_S
    wait_for(lambda: browser.find_element("css selector", "#status").text == "Updated from disk", what="the notice")


def test_a_hostile_document_runs_no_script(browser, viewer, notes):
    load(browser, viewer)
    click_doc(browser, "#tree", notes / "hostile.md")
    article = browser.find_element("css selector", "#document")
    assert "<script>fetch('/api/pwned?from=script'); alert('script')</script>" in article.text
    for link in article.find_elements("css selector", "a"):
        link.click()
        no_alert(browser)
    time.sleep(1.5)  # time for anything scheduled by the document, and one edit poll
    no_alert(browser)
    found = browser.execute_script(
        "const a = document.getElementById('document');"
        "return {scripts: a.querySelectorAll('script, iframe, object, embed').length,"
        "  handlers: [...a.querySelectorAll('*')].flatMap((e) => e.getAttributeNames())"
        "    .filter((name) => name.startsWith('on')),"
        "  hrefs: [...a.querySelectorAll('a[href]')].map((link) => link.getAttribute('href')),"
        "  resources: performance.getEntriesByType('resource').map((entry) => entry.name)};"
    )
    assert found["scripts"] == 0 and found["handlers"] == []
    assert all(href == "#" or re.match(r"https?:|mailto:|#", href) for href in found["hrefs"]), found["hrefs"]
    assert all(name.startswith(f"http://{viewer.host}/") for name in found["resources"]), found["resources"]
    assert shown(browser)[1] == str(notes / "hostile.md")  # still on the page, nothing navigated away

    # Had the renderer let HTML through, the page's policy would still stop it.
    browser.execute_script(
        "document.getElementById('document').insertAdjacentHTML('beforeend',"
        '  \'<img src="/missing.png" onerror="fetch(\\\'/api/pwned?from=policy\\\'); alert(1)">'
        '<a id="policy-link" href="javascript:alert(2)">x</a>\');'
    )
    browser.find_element("css selector", "#policy-link").click()
    time.sleep(0.5)
    no_alert(browser)
    logged = viewer.logged_paths()
    assert {"/", "/api/session", "/api/doc", "/api/asset"} <= set(logged)  # the log is read right
    assert "/api/pwned" not in logged
    assert set(logged) <= PAGE_REQUESTS, set(logged) - PAGE_REQUESTS


def test_one_edit_one_reopen_however_slow_the_answers(browser, viewer, notes):
    load(browser, viewer)
    click_doc(browser, "#tree", notes / "apple.md")
    reopened = viewer.logged_paths().count("/api/doc")
    # Every answer takes longer than the poll's period, as a slow document's would.
    browser.execute_cdp_cmd("Network.enable", {})
    slow = {"offline": False, "latency": 1500, "downloadThroughput": -1, "uploadThroughput": -1}
    browser.execute_cdp_cmd("Network.emulateNetworkConditions", slow)
    try:
        document = notes / "apple.md"
        document.write_text(document.read_text() + "\nWindfall apples, counted at dusk.\n")
        wait_for(lambda: "Windfall apples" in shown(browser)[2], timeout=3 * WAIT_S, what="the edit")
        time.sleep(4)  # the polls that follow find the document shown as it is
    finally:
        browser.execute_cdp_cmd("Network.emulateNetworkConditions", dict(slow, latency=0))
        browser.execute_cdp_cmd("Network.disable", {})
    assert viewer.logged_paths().count("/api/doc") == reopened + 1


def test_a_stopped_viewer_s_page_hands_its_token_to_no_one(browser, viewer, notes):
    load(browser, viewer)
    click_doc(browser, "#tree", notes / "guide.md")
    viewer.stop()
    # Another local program takes the port at once.
    with socket.socket() as taker:
        taker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        taker.bind(("127.0.0.1", viewer.port))
        taker.listen(16)
        taker.settimeout(0.2)
        received = b""
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            try:
                connection, _ = taker.accept()
            except TimeoutError:
                continue
            with connection:
                connection.settimeout(1)
                with contextlib.suppress(OSError):
                    received += connection.recv(65536)
    assert viewer.token.encode() not in received and b"X-Tidewing-Token" not in received, received
    assert browser.execute_script("return sessionStorage.getItem('tidewing-token')") is None
    assert "has stopped" in browser.find_element("css selector", "#status").text
    assert not browser.find_elements("css selector", "#document img[src]")


def test_an_address_from_an_earlier_run_opens_nothing(browser, notes, tmp_path):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    viewer = Viewer(notes, tmp_path / "viewer.log", "--port", str(port)).start()
    try:
        earlier = viewer.url  # as the browser's history keeps it
        viewer.restart()
        assert viewer.port == port and viewer.url != earlier
        browser.get(earlier)
        message = "Open the address the viewer printed when it started: it carries the access token."
        wait_for(lambda: browser.find_element("css selector", "#status").text == message, what="the refusal")
        load(browser, viewer)
        assert shown(browser)[0] == "Tidewing viewer"
    finally:
        viewer.stop()
