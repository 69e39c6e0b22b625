"""The shared test vectors: found where they are, skipped where they are not,
and required under CI."""

from pathlib import Path

import pytest
import shared_data


@pytest.fixture
def testdata(tmp_path, monkeypatch):
    """An empty stand-in for ../shared/testdata."""
    monkeypatch.setattr(shared_data, "TESTDATA", tmp_path)
    return tmp_path


def set_ci(monkeypatch, value):
    if value is None:
        monkeypatch.delenv("CI", raising=False)
    else:
        monkeypatch.setenv("CI", value)


@pytest.mark.parametrize("ci", [None, "true"])
def test_present_vectors_are_given_back(testdata, monkeypatch, ci):
    set_ci(monkeypatch, ci)
    (testdata / "fernet").mkdir()
    (testdata / "fernet" / "verify.json").write_text("[]")
    assert shared_data.shared_path("fernet", "verify.json") == testdata / "fernet" / "verify.json"
    assert shared_data.shared_path("fernet") == testdata / "fernet"


@pytest.mark.parametrize("ci", [None, ""])
def test_missing_vectors_skip_outside_ci(testdata, monkeypatch, ci):
    set_ci(monkeypatch, ci)
    with pytest.raises(pytest.skip.Exception, match="SHA256Monte.rsp is not available"):
        shared_data.shared_path("sha256", "SHA256Monte.rsp")


def test_missing_vectors_fail_under_ci(testdata, monkeypatch):
    set_ci(monkeypatch, "true")
    with pytest.raises(pytest.fail.Exception) as failed:
        shared_data.shared_path("wycheproof", "aes_cbc_pkcs5_test.json")
    assert str(failed.value).startswith(
        f"{testdata / 'wycheproof' / 'aes_cbc_pkcs5_test.json'} is not available: CI is set"
    )
    assert f"Place them at {testdata}" in str(failed.value)
    with pytest.raises(pytest.fail.Exception, match="no traversal payload lists"):
        shared_data.unavailable("no traversal payload lists")


def test_the_vectors_are_looked_for_beside_the_repository():
    repository = Path(__file__).resolve().parents[1]
    assert shared_data.TESTDATA == repository.parent / "shared" / "testdata"
