"""The filters that tags in run and paragraph positions pass their values through."""

from __future__ import annotations

from typing import Any

from jinja2 import pass_eval_context
from jinja2.nodes import EvalContext
from markupsafe import Markup

from .base import Position, RichValue, current_registry
from .text import xml_text

RUN_FILTER = "tesserine_run"
PARAGRAPH_FILTER = "tesserine_paragraph"
_RUN_OPEN = Markup('<w:r><w:t xml:space="preserve">')
_RUN_CLOSE = Markup("</w:t></w:r>")


def _run(value: Any, autoescape: bool, position: Position) -> Markup | None:
    """The run for a value, or None for markup of the caller's own."""
    if isinstance(value, RichValue):
        marker = Markup(current_registry(value).marker(value, position))
        return _RUN_OPEN + marker + _RUN_CLOSE
    # Markup given as safe, or any value when escaping is off, is the caller's own XML.
    if hasattr(value, "__html__") or not autoescape:
        return None
    text = str(value)
    if not text:
        return Markup("")
    return _RUN_OPEN + xml_text(text) + _RUN_CLOSE


@pass_eval_context
def run_value(context: EvalContext, value: Any) -> Any:
    """A plain value as a run holding its text; a rich value as its marker in a run."""
    run = _run(value, context.autoescape, Position.RUN)
    return value if run is None else run


@pass_eval_context
def paragraph_value(context: EvalContext, value: Any) -> Any:
    """A plain value as a paragraph holding its text; a rich value as its marker in one."""
    run = _run(value, context.autoescape, Position.PARAGRAPH)
    return value if run is None else Markup("<w:p>") + run + Markup("</w:p>")


@pass_eval_context
def finalize_value(context: EvalContext, value: Any) -> Any:
    """Every tag's value before output: plain text comes out exactly as given, and a rich
    value becomes its marker even where nothing is escaped."""
    if isinstance(value, RichValue):
        return Markup(value.__html__())
    if isinstance(value, str) and context.autoescape and not hasattr(value, "__html__"):
        return xml_text(value)
    return value


FILTERS = {RUN_FILTER: run_value, PARAGRAPH_FILTER: paragraph_value}
