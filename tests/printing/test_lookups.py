"""Finding the native web view behind a pywebview window."""

import sys
import types
from types import SimpleNamespace

import pytest

NOT_FOUND = r"^could not locate the native webview for this window$"


def test_guilib_is_searched_first(printing, pywebview, window):
    chosen = pywebview.platform("chosen", guilib=True, registered=False)
    chosen.BrowserView.instances[window.uid] = "chosen entry"
    other = pywebview.platform("other")
    other.BrowserView.instances[window.uid] = "other entry"
    assert printing._browser_view(window=window) == "chosen entry"


def test_loaded_platform_modules_are_searched_in_import_order(printing, pywebview, window):
    pywebview.platform("a").BrowserView.instances["someone else"] = "a entry"
    pywebview.platform("b").BrowserView.instances[window.uid] = "b entry"
    pywebview.platform("c").BrowserView.instances[window.uid] = "c entry"
    assert printing._browser_view(window) == "b entry"


@pytest.mark.parametrize("name", ["webview.platformsx", "webview.platforms"])
def test_only_modules_below_the_platforms_package_are_searched(printing, pywebview, monkeypatch, window, name):
    impostor = types.ModuleType(name)
    impostor.BrowserView = type("BrowserView", (), {"instances": {window.uid: "impostor"}})
    monkeypatch.setitem(sys.modules, name, impostor)
    with pytest.raises(printing.PrintError, match=NOT_FOUND):
        printing._browser_view(window)


@pytest.mark.parametrize(
    "browser_view", [None, SimpleNamespace(), SimpleNamespace(instances={}), SimpleNamespace(instances=None)]
)
def test_modules_without_a_usable_registry_are_skipped(printing, pywebview, monkeypatch, window, browser_view):
    module = pywebview.platform("broken")
    if browser_view is None:
        del module.BrowserView
    else:
        module.BrowserView = browser_view
    monkeypatch.setitem(sys.modules, "webview.platforms.none", None)
    with pytest.raises(printing.PrintError, match=NOT_FOUND):
        printing._browser_view(window)


def test_missing_pywebview_raises_import_error(printing, monkeypatch, window):
    monkeypatch.setitem(sys.modules, "webview", None)
    with pytest.raises(ImportError):
        printing._browser_view(window)


def test_uid_is_read_anew_and_lookups_are_not_cached(printing, pywebview, window):
    with pytest.raises(printing.PrintError, match=NOT_FOUND):
        printing._browser_view(window)
    pywebview.register(window, "late entry")
    assert printing._browser_view(window) == "late entry"
    pywebview.register(SimpleNamespace(uid="second"), "second entry")
    window.uid = "second"
    assert printing._browser_view(window) == "second entry"


def test_walk_uses_a_snapshot_of_loaded_modules(printing, pywebview, monkeypatch, window):
    # Reading a candidate's registry runs code that imports another platform
    # module, as another thread might during the lookup.
    late = types.ModuleType("webview.platforms.late")
    late.BrowserView = type("BrowserView", (), {"instances": {window.uid: "late entry"}})

    class Importing:
        @property
        def instances(self):
            monkeypatch.setitem(sys.modules, late.__name__, late)
            monkeypatch.delitem(sys.modules, "webview.platforms.b", raising=False)
            return {}

    pywebview.platform("a").BrowserView = Importing()
    pywebview.platform("b").BrowserView.instances[window.uid] = "b entry"
    assert printing._browser_view(window) == "b entry"
    assert printing._browser_view(window) == "late entry"


def test_other_attribute_errors_propagate(printing, pywebview, window):
    class Failing:
        @property
        def instances(self):
            raise KeyError("registry")

    pywebview.platform("gtk", guilib=True).BrowserView = Failing()
    with pytest.raises(KeyError):
        printing._browser_view(window)


@pytest.mark.parametrize(
    "lookup, message", [("_gtk_webview", "GTK webview widget not ready"), ("_cocoa_webview", "WKWebView not ready")]
)
def test_widget_lookups(printing, pywebview, window, lookup, message):
    lookup = getattr(printing, lookup)
    with pytest.raises(printing.PrintError, match=NOT_FOUND):
        lookup(window)
    platform_object = pywebview.register(window, SimpleNamespace(webview=None))
    with pytest.raises(printing.PrintError, match=f"^{message}$"):
        lookup(window=window)
    del platform_object.webview
    with pytest.raises(printing.PrintError, match=f"^{message}$"):
        lookup(window)
    platform_object.webview = "widget"
    assert lookup(window) == "widget"


CORE = SimpleNamespace(name="core")


@pytest.mark.parametrize(
    "platform_object",
    [
        SimpleNamespace(webview=SimpleNamespace(CoreWebView2=CORE)),
        SimpleNamespace(webview=None, web_view=SimpleNamespace(CoreWebView2=CORE)),
        SimpleNamespace(browser=None, webview=SimpleNamespace(CoreWebView2=CORE)),
        SimpleNamespace(
            browser=SimpleNamespace(webview=SimpleNamespace(CoreWebView2=CORE)),
            webview=SimpleNamespace(CoreWebView2="not this one"),
        ),
        SimpleNamespace(browser=SimpleNamespace(web_view=SimpleNamespace(CoreWebView2=CORE))),
    ],
    ids=["webview", "web_view", "false browser", "browser", "browser web_view"],
)
def test_edge_core_finds_the_control(printing, pywebview, window, platform_object):
    pywebview.register(window, platform_object)
    assert printing._edge_core(window=window) is CORE


@pytest.mark.parametrize(
    "platform_object",
    [
        SimpleNamespace(webview=SimpleNamespace(CoreWebView2=None)),
        SimpleNamespace(webview=SimpleNamespace()),
        SimpleNamespace(webview=None, web_view=None),
        SimpleNamespace(),
    ],
)
def test_edge_core_not_initialised(printing, pywebview, window, platform_object):
    pywebview.register(window, platform_object)
    with pytest.raises(printing.PrintError, match=r"^CoreWebView2 not initialised$"):
        printing._edge_core(window)


def test_lookups_go_through_the_module_browser_view(printing, monkeypatch, window):
    monkeypatch.setattr(printing, "_browser_view", lambda window: SimpleNamespace(webview="rebound"))
    assert printing._gtk_webview(window) == printing._cocoa_webview(window) == "rebound"


def test_a_platform_module_is_known_by_its_own_startswith(printing, pywebview, monkeypatch, window):
    class ModuleName(str):
        def startswith(self, prefix):
            return True  # a platform module whatever its text

    chosen = types.ModuleType("chosen")
    chosen.BrowserView = type("BrowserView", (), {"instances": {window.uid: "chosen entry"}})
    monkeypatch.setitem(sys.modules, ModuleName("elsewhere"), chosen)
    assert printing._browser_view(window) == "chosen entry"
