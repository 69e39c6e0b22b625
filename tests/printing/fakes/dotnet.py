"""A stand-in for pythonnet's `System` and `System.Threading.Tasks` and for a
WebView2 control's CoreWebView2, whose PDF task completes on a thread of its
own (with or without writing), never completes, or fails to start."""

import sys
import threading
import types
from types import SimpleNamespace

from . import ToolkitError


class DotnetToolkit:
    def __init__(self, journal):
        self.journal = journal
        self.outcome = "write"  # "write", "fault", "never" or "raise"
        self.continuations = []
        self.Task = type("Task", (), {})
        self.System = types.ModuleType("System")
        self.System.Action = ActionGeneric(self)
        self.Tasks = types.ModuleType("System.Threading.Tasks")
        self.Tasks.Task = self.Task
        self.Core = types.ModuleType("Microsoft.Web.WebView2.Core")
        self.Core.CoreWebView2PrintOrientation = SimpleNamespace(Portrait="portrait", Landscape="landscape")

    def install(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "System", self.System)
        monkeypatch.setitem(sys.modules, "System.Threading", types.ModuleType("System.Threading"))
        monkeypatch.setitem(sys.modules, "System.Threading.Tasks", self.Tasks)
        for package in ("Microsoft", "Microsoft.Web", "Microsoft.Web.WebView2"):
            monkeypatch.setitem(sys.modules, package, types.ModuleType(package))
        monkeypatch.setitem(sys.modules, self.Core.__name__, self.Core)

    def core(self):
        return CoreWebView2(self)

    def join(self):
        for thread in self.continuations:
            thread.join()


class ActionGeneric:
    """`Action[Task]`: a delegate type that wraps a Python callable."""

    def __init__(self, kit):
        self._kit = kit

    def __getitem__(self, argument_type):
        self._kit.journal.record("Action[]", argument_type)
        return lambda callable_: SimpleNamespace(Invoke=callable_)


class PrintSettings:
    """CoreWebView2PrintSettings: every property set is recorded and kept."""

    def __init__(self, kit):
        object.__setattr__(self, "_kit", kit)
        object.__setattr__(self, "values", {})

    def __setattr__(self, name, value):
        self._kit.journal.record("settings." + name, value)
        self.values[name] = value


class CoreWebView2:
    def __init__(self, kit):
        self._kit = kit
        self.Environment = SimpleNamespace(CreatePrintSettings=self._create_print_settings)

    def _create_print_settings(self):
        self._kit.journal.record("CreatePrintSettings")
        return PrintSettings(self._kit)

    def ShowPrintUI(self, *args):
        self._kit.journal.record("ShowPrintUI", *args)

    def PrintToPdfAsync(self, path, settings):
        kit = self._kit
        kit.journal.record("PrintToPdfAsync", path, settings)
        if kit.outcome == "raise":
            raise ToolkitError("The RPC server is unavailable.")
        task = kit.Task()

        def continue_with(delegate):
            kit.journal.record("ContinueWith")
            if kit.outcome == "never":
                return

            def complete():
                if kit.outcome == "write":
                    assert path.startswith("/"), "WebView2 takes an absolute path"
                    with open(path, "wb") as pdf:
                        pdf.write(b"%PDF-1.4 fake")
                delegate.Invoke(task)

            thread = threading.Thread(target=complete, name="dotnet")
            kit.continuations.append(thread)
            thread.start()

        task.ContinueWith = continue_with
        return task
