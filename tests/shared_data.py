"""The public third-party test vectors, kept beside the repository in
../shared/testdata (see SOURCES.md there) and never committed.

Every test that reads them goes through `shared_path`: where they are absent
the test is skipped, except under CI (the environment variable CI set and not
empty), where a missing vector fails the test, so a CI run can never pass
with the vectors silently left out.
"""

import os
from pathlib import Path
from typing import NoReturn

import pytest

TESTDATA = Path(__file__).resolve().parents[2] / "shared" / "testdata"


def required() -> bool:
    """Whether missing vectors fail the tests instead of skipping them."""
    return bool(os.environ.get("CI"))


def unavailable(what: str) -> NoReturn:
    """Skips the calling test for want of `what`, or fails it under CI."""
    if required():
        pytest.fail(
            f"{what}: CI is set, and the tests that read the shared test vectors are required. "
            f"Place them at {TESTDATA} (beside the repository, as ../shared/testdata).",
            pytrace=False,
        )
    pytest.skip(f"{what} (the shared test vectors are looked for at {TESTDATA})")


def shared_path(*parts: str) -> Path:
    """The file or folder `parts` of the shared test vectors, when it exists."""
    path = TESTDATA.joinpath(*parts)
    if not path.exists():
        unavailable(f"{path} is not available")
    return path


def optional_shared_path(*parts: str) -> Path:
    """A file the shared test vectors may hold beyond their usual set: the test
    is skipped without it, under CI too."""
    path = TESTDATA.joinpath(*parts)
    if not path.exists():
        pytest.skip(f"{path} is not part of the shared test vectors here")
    return path
