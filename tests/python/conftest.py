"""Every behavioural test that takes `impl` runs against the native module and its
pure-Python twin, which must agree byte for byte."""

import importlib
from types import ModuleType

import pytest


@pytest.fixture(params=["native", "pure"])
def impl(request: pytest.FixtureRequest) -> ModuleType:
    return importlib.import_module(f"tesserine._{request.param}")
