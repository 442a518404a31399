"""Choice of the engine behind the text steps: the native module or its pure-Python twin."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

from . import _pure

BackendName = Literal["native", "pure"]

FORCE_PURE_VARIABLE = "TESSERINE_PURE_PYTHON"


@dataclass(frozen=True)
class Backend:
    """The three text steps of one engine; `patch_xml` here always answers with a text."""

    name: BackendName
    patch_xml: Callable[[str], str]
    pre_render: Callable[[str], str | None]
    post_render: Callable[[str], str | None]


def pure_backend() -> Backend:
    # Attribute lookups happen at call time so that a patched `_pure` takes effect.
    return Backend(
        name="pure",
        patch_xml=lambda xml: _pure.patch_xml_sound(xml),
        pre_render=lambda src: _pure.pre_render(src),
        post_render=lambda dst: _pure.post_render(dst),
    )


def native_backend() -> Backend | None:
    """The native engine, or None when its module cannot be imported."""
    try:
        from . import _native
    except ImportError:
        return None

    def patch_xml(xml: str) -> str:
        patched = _native.patch_xml(xml)
        # None is the native engine asking for the Python reference on input it does not handle.
        return _pure.patch_xml_sound(xml) if patched is None else patched

    return Backend(
        name="native",
        patch_xml=patch_xml,
        pre_render=lambda src: _native.pre_render(src),
        post_render=lambda dst: _native.post_render(dst),
    )


def pure_forced() -> bool:
    return os.environ.get(FORCE_PURE_VARIABLE, "") not in ("", "0")


def select_backend() -> Backend:
    if not pure_forced():
        native = native_backend()
        if native is not None:
            return native
    return pure_backend()


active: Backend = select_backend()
