"""A stand-in for pywebview: the `webview` package, its `guilib` and the
platform modules with their `BrowserView.instances` registries."""

import sys
import types


class PyWebview:
    def __init__(self, monkeypatch):
        self._monkeypatch = monkeypatch
        self.webview = types.ModuleType("webview")
        self.platforms = types.ModuleType("webview.platforms")
        self.platforms.__path__ = []
        self.webview.platforms = self.platforms
        monkeypatch.setitem(sys.modules, "webview", self.webview)
        monkeypatch.setitem(sys.modules, "webview.platforms", self.platforms)

    def platform(self, name, *, guilib=False, instances=None, registered=True):
        """A platform module with a BrowserView registry; `registered` puts it in sys.modules."""
        module = types.ModuleType(f"webview.platforms.{name}")
        module.BrowserView = type("BrowserView", (), {"instances": {} if instances is None else instances})
        setattr(self.platforms, name, module)
        if registered:
            self._monkeypatch.setitem(sys.modules, module.__name__, module)
        if guilib:
            self.webview.guilib = module
        return module

    def register(self, window, platform_object, platform="gtk"):
        """Register the window's platform object in the named (chosen) platform module."""
        module = getattr(self.platforms, platform, None) or self.platform(platform, guilib=True)
        module.BrowserView.instances[window.uid] = platform_object
        return platform_object
