"""A stand-in for PyObjC's AppKit and Foundation and for pywebview's Cocoa
platform module: the main operation queue runs blocks on a fake main thread,
and a WKWebView's print operation saves, raises or does nothing."""

import sys
import types
from types import SimpleNamespace


class CocoaToolkit:
    def __init__(self, journal, loop):
        self.journal = journal
        self.loop = loop
        self.outcome = "write"  # "write" or "raise"
        self.shared_info = PrintInfo(self, {"paper": "A4"})
        record = journal.record

        def add_operation(block):
            record("addOperationWithBlock_")
            loop.post(block)

        queue = SimpleNamespace(addOperationWithBlock_=add_operation)
        self.Foundation = types.ModuleType("Foundation")
        self.Foundation.NSOperationQueue = SimpleNamespace(mainQueue=lambda: queue)
        self.Foundation.NSURL = SimpleNamespace(fileURLWithPath_=lambda path: ("file-url", path))
        self.Foundation.NSMakeSize = lambda width, height: ("size", width, height)
        self.AppKit = types.ModuleType("AppKit")
        self.AppKit.NSPrintInfo = SimpleNamespace(sharedPrintInfo=lambda: self.shared_info)
        self.AppKit.NSFitPagination = "fit"
        self.AppKit.NSPrintSaveJob = "save"
        self.AppKit.NSPrintJobSavingURL = "saving-url"
        self.AppKit.NSPaperOrientationPortrait = "portrait"
        self.AppKit.NSPaperOrientationLandscape = "landscape"

    def install(self, monkeypatch, pywebview):
        monkeypatch.setitem(sys.modules, "AppKit", self.AppKit)
        monkeypatch.setitem(sys.modules, "Foundation", self.Foundation)
        cocoa = pywebview.platform("cocoa", guilib=True)

        def print_webview(webview):
            self.journal.record("print_webview", webview)
            if self.outcome == "raise":
                raise RuntimeError("no printers")

        cocoa.BrowserView.print_webview = staticmethod(print_webview)

    def web_view(self):
        return WKWebView(self)


class PrintInfo:
    def __init__(self, kit, settings):
        self._kit = kit
        self.settings = dict(settings)
        self.pagination = self.disposition = None

    def copy(self):
        self._kit.journal.record("NSPrintInfo.copy")
        self._kit.last_info = PrintInfo(self._kit, self.settings)
        return self._kit.last_info

    def setHorizontalPagination_(self, value):
        self._kit.journal.record("setHorizontalPagination_", value)
        self.pagination = value

    def setJobDisposition_(self, value):
        self._kit.journal.record("setJobDisposition_", value)
        self.disposition = value

    PAGE_SETTERS = {
        "setPaperSize_",
        "setOrientation_",
        "setTopMargin_",
        "setBottomMargin_",
        "setLeftMargin_",
        "setRightMargin_",
    }

    def __getattr__(self, setter):
        if setter not in self.PAGE_SETTERS:
            raise AttributeError(setter)

        def set_value(value):
            self._kit.journal.record(setter, value)
            self.settings[setter[3:-1]] = value

        return set_value

    def dictionary(self):
        kit, settings = self._kit, self.settings

        def set_object(value, key):
            kit.journal.record("setObject_forKey_", value, key)
            settings[key] = value

        return SimpleNamespace(setObject_forKey_=set_object)


class WKWebView:
    def __init__(self, kit):
        self._kit = kit

    def _printOperationWithPrintInfo_(self, info):
        kit = self._kit
        kit.journal.record("_printOperationWithPrintInfo_", info)

        def run_operation():
            kit.journal.record("runOperation")
            if kit.outcome == "raise":
                raise RuntimeError("the print job failed")
            if kit.outcome == "write":
                with open(info.settings["saving-url"][1], "wb") as pdf:
                    pdf.write(b"%PDF-1.4 fake")

        return SimpleNamespace(
            setShowsPrintPanel_=lambda flag: kit.journal.record("setShowsPrintPanel_", flag),
            setShowsProgressPanel_=lambda flag: kit.journal.record("setShowsProgressPanel_", flag),
            runOperation=run_operation,
        )
