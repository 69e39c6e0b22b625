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

    def install(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "System", self.System)
        monkeypatch.setitem(sys.modules, "System.Threading", types.ModuleType("System.Threading"))
        monkeypatch.setitem(sys.modules, "System.Threading.Tasks", self.Tasks)

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


class CoreWebView2:
    def __init__(self, kit):
        self._kit = kit

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
                    with open(path, "wb") as pdf:
                        pdf.write(b"%PDF-1.4 fake")
                delegate.Invoke(task)

            thread = threading.Thread(target=complete, name="dotnet")
            kit.continuations.append(thread)
            thread.start()

        task.ContinueWith = continue_with
        return task
