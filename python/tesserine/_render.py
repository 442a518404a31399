"""Patching and rendering of one document part's XML, through the active backend."""

from __future__ import annotations

from collections.abc import Mapping
from functools import lru_cache
from typing import Any

import jinja2

from . import _backend


@lru_cache(maxsize=2)
def default_environment(autoescape: bool = True) -> jinja2.Environment:
    """The shared Environment used when the caller brings none."""
    # The part's final line feed is document content, not template layout.
    return jinja2.Environment(autoescape=autoescape, keep_trailing_newline=True)


def patch_xml(xml: str) -> str:
    """Turn a part's XML, as the word processor wrote it, into template source."""
    return _backend.active.patch_xml(xml)


def prepare_source(patched: str) -> str:
    """The text that the template engine compiles for a patched part."""
    prepared = _backend.active.pre_render(patched)
    return patched if prepared is None else prepared


def finish_output(rendered: str) -> str:
    """Turn the template engine's output back into WordprocessingML."""
    finished = _backend.active.post_render(rendered)
    return rendered if finished is None else finished


def render_xml_part(
    xml: str,
    context: Mapping[str, Any],
    environment: jinja2.Environment | None = None,
) -> str:
    """Render one patched part; Jinja2's own exceptions pass through unchanged."""
    env = default_environment() if environment is None else environment
    return finish_output(env.from_string(prepare_source(xml)).render(context))
