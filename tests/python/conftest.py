"""Shared fixtures: every behavioural test runs against the native module and its
pure-Python twin, which must agree byte for byte."""

import importlib
from types import ModuleType

import pytest


def _load(name: str) -> ModuleType:
    if name == "native":
        return importlib.import_module("tesserine._native")
    try:
        return importlib.import_module("tesserine._pure")
    except ImportError:
        pytest.skip("pure-Python twin not available")


@pytest.fixture(params=["native", "pure"])
def impl(request: pytest.FixtureRequest) -> ModuleType:
    return _load(request.param)
