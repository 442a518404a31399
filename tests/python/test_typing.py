"""The package's annotations and the native module's stub type-check strictly."""

import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[2] / "python" / "tesserine"


def test_package_and_stub_pass_mypy_strict() -> None:
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(PACKAGE)],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_lists_what_the_module_offers() -> None:
    from tesserine import _native

    stub = (PACKAGE / "_native.pyi").read_text()
    for name in _native.__all__:
        assert name in stub
