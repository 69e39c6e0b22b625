"""The generated stubs of the three modules: what the build made is what is
committed under stubs/ at the top of the tree, and the installed packages
(stubs, __init__.py, __main__.py) pass mypy --strict."""

import difflib
import importlib
import shutil
from pathlib import Path

import pytest

REFERENCES = Path(__file__).resolve().parents[1] / "stubs"
MODULES = ["tidewing_quillery.pagecase", "tidewing_quillery.printing", "tidewing_lattice.tw_lattice"]
PACKAGES = ["tidewing_quillery", "tidewing_lattice"]


def built_stub(module_name):
    module = importlib.import_module(module_name)
    stub = Path(module.__file__).with_name(module_name.rpartition(".")[2] + ".pyi")
    if not stub.is_file():
        pytest.skip("built without stubs")
    return stub


@pytest.mark.parametrize("module_name", MODULES)
def test_stubs_are_the_committed_references(module_name):
    built = built_stub(module_name)
    reference = REFERENCES.joinpath(*module_name.split(".")).with_suffix(".pyi")
    built_text, reference_text = built.read_text(encoding="utf-8"), reference.read_text(encoding="utf-8")
    if built_text != reference_text:
        diff = "".join(
            difflib.unified_diff(
                reference_text.splitlines(True), built_text.splitlines(True), str(reference), str(built)
            )
        )
        pytest.fail(
            f"the stubs generated for {module_name} differ from the committed reference. "
            f"If the change is intended, refresh the reference and commit it:\n"
            f"    cp {built} {reference}\n\n{diff}"
        )


def test_packages_pass_mypy_strict(tmp_path, mypy_strict):
    """The packages' Python files and stubs, copied without the extension modules themselves."""
    for module_name in MODULES:
        built_stub(module_name)
    for package in PACKAGES:
        installed = Path(importlib.import_module(package).__file__).parent
        (tmp_path / package).mkdir()
        for file in installed.iterdir():
            if file.suffix in (".py", ".pyi") or file.name == "py.typed":
                shutil.copy(file, tmp_path / package)
    out = mypy_strict(*(option for package in PACKAGES for option in ("-p", package)))
    assert out.returncode == 0, out.stdout + out.stderr
