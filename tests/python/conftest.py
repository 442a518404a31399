"""Every behavioural test that takes `impl` runs against the native module and its
pure-Python twin, which must agree byte for byte. Compiled templates are cached in a
folder of the test run's own, for child processes too."""

import importlib
from collections.abc import Iterator
from types import ModuleType

import pytest


@pytest.fixture(autouse=True, scope="session")
def private_cache(tmp_path_factory: pytest.TempPathFactory) -> Iterator[None]:
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache-home")))
        patch.delenv("TESSERINE_CACHE", raising=False)
        yield


@pytest.fixture(params=["native", "pure"])
def impl(request: pytest.FixtureRequest) -> ModuleType:
    return importlib.import_module(f"tesserine._{request.param}")
