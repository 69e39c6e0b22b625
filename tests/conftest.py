"""Shared fixtures: a private home for every test, and checks each module's surface tests use;
and the skipping of tests that pin the native file-system route where the build leaves it out."""

import functools
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture(autouse=True)
def private_home(tmp_path_factory, monkeypatch):
    """A fresh HOME with no state-directory override, so nothing touches the real home."""
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("TIDEWING_MD_STATE_DIR", raising=False)
    return home


@pytest.fixture
def second_import_error():
    """The ImportError text of importing a module again after dropping it from sys.modules."""

    def run(module_name):
        script = (
            "import importlib, sys\n"
            f"importlib.import_module({module_name!r})\n"
            f"del sys.modules[{module_name!r}]\n"
            "try:\n"
            f"    importlib.import_module({module_name!r})\n"
            "except ImportError as error:\n"
            "    print(error)\n"
        )
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        return out.stdout.strip()

    return run


@pytest.fixture
def mypy_strict(tmp_path):
    """Runs `mypy --strict` for Python 3.10 in `tmp_path` on the given targets (files, or
    ("-p", package)), with MYPYPATH set when asked; its completed process."""
    pytest.importorskip("mypy")

    def run(*targets, mypypath=None):
        env = dict(os.environ, MYPYPATH=str(mypypath)) if mypypath else None
        command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", "3.10"]
        return subprocess.run(
            [*command, "--cache-dir", str(tmp_path / "cache"), *targets],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
        )

    return run


@pytest.fixture
def type_check(tmp_path, mypy_strict):
    """Where mypy --strict finds errors ("host.py:LINE", or in the stubs themselves) when it
    checks a host script against a module's generated stubs."""

    def run(module, host_script):
        stub = Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")
        if not stub.is_file():
            pytest.skip("built without stubs")
        package = tmp_path / "stubs" / module.__name__.partition(".")[0]
        package.mkdir(parents=True)
        (package / "__init__.pyi").write_text("")
        shutil.copy(stub, package / stub.name)
        (tmp_path / "host.py").write_text(host_script)
        out = mypy_strict("host.py", mypypath=tmp_path / "stubs")
        errors = [line.split(": error:")[0] for line in out.stdout.splitlines() if ": error:" in line]
        return [where.replace(os.sep, "/").rpartition("stubs/")[2] for where in errors], out.stdout

    return run


# Whether the document store reads a file natively or through pathlib shows in
# the audit events: Path.read_bytes() raises an "open" event for the path, the
# native read none. Asked in a process of its own, as an audit hook stays for
# the life of the interpreter.
NATIVE_FS_PROBE = """
import pathlib, sys, tempfile
from tidewing_quillery import pagecase
opened = []
with tempfile.TemporaryDirectory() as folder:
    document = pathlib.Path(folder) / "probe.md"
    document.write_text("probe")
    sys.addaudithook(lambda event, args: event == "open" and opened.append(str(args[0])))
    pagecase.read_document(document)
print("steps" if str(document) in opened else "native")
"""


@functools.cache
def built_with_native_fs():
    """Whether the package under test has the native file-system route (CMake's TIDEWING_NATIVE_FS).
    A TIDEWING_NATIVE_FS variable in the environment says what the run expects; a build that
    disagrees stops the run rather than skip or fail tests for the wrong reason."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", NATIVE_FS_PROBE], env=env, capture_output=True, text=True, check=True)
    built = out.stdout.strip() == "native"
    expected = os.environ.get("TIDEWING_NATIVE_FS")
    if expected is not None and (expected not in ("0", "OFF", "off")) != built:
        pytest.exit(
            f"TIDEWING_NATIVE_FS={expected}, but the package under test was built "
            f"{'with' if built else 'without'} the native file-system route",
            returncode=2,
        )
    return built


def pytest_collection_modifyitems(config, items):
    pinned = [item for item in items if item.get_closest_marker("native_fs")]
    if pinned and not built_with_native_fs():
        skip = pytest.mark.skip(reason="pins what the native file-system route does; this build leaves it out")
        for item in pinned:
            item.add_marker(skip)
