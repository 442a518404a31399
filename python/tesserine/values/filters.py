"""The environment's handling of printed values, and the filters that tags in run and
paragraph positions pass their values through."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from jinja2 import pass_context, pass_eval_context
from jinja2.nodes import EvalContext
from jinja2.runtime import Context
from jinja2.utils import _PassArg
from markupsafe import Markup, escape

from .base import Position, RichValue, current_registry
from .fragment import Fragment, misplaced
from .text import check_text, escaped_text, normalize_line_ends

RUN_FILTER = "tesserine_run"
PARAGRAPH_FILTER = "tesserine_paragraph"
_TEXT_OPEN = Markup('<w:t xml:space="preserve">')
_RUN_CLOSE = Markup("</w:t></w:r>")


def value_finalizer(printed: Callable[[Any], str]) -> Callable[[EvalContext, Any], Any]:
    """The environment's finalize: every printed value passes through it.

    Text from data comes out exactly as given: its line ends become line breaks, a
    character XML cannot hold is an error, and under autoescape it is escaped here so
    that post-rendering cannot mistake it for template text. A rich value becomes its
    marker, escaped or not. `printed` turns any other object into text.
    """

    @pass_eval_context
    def finalize(context: EvalContext, value: Any) -> Any:
        # Strings come first: they are most of what templates print.
        if isinstance(value, str):
            if hasattr(value, "__html__"):
                return check_text(value)
            text = check_text(normalize_line_ends(value))
            return escaped_text(text) if context.autoescape else text
        if value is None or isinstance(value, (int, float)):
            return value
        if isinstance(value, RichValue):
            return Markup(value.__html__())
        if hasattr(value, "__html__"):
            return value
        return finalize(context, printed(value))

    return finalize


def finalized(context: Context, value: Any, finalize: Callable[..., Any] | None) -> Any:
    """The value as `finalize` (an environment's) leaves it for printing, called as Jinja2 calls it."""
    if finalize is None:
        return value
    kind = _PassArg.from_obj(finalize)
    if kind is _PassArg.context:
        return finalize(context, value)
    if kind is _PassArg.eval_context:
        return finalize(context.eval_ctx, value)
    if kind is _PassArg.environment:
        return finalize(context.environment, value)
    return finalize(value)


def _run(context: Context, value: Any, position: Position, properties: str) -> Markup | None:
    """The run for a value, or None for markup of the caller's own."""
    opener = Markup("<w:r>") + Markup(properties) + _TEXT_OPEN
    if isinstance(value, Fragment) and position is not Position.PARAGRAPH:
        raise misplaced()
    if isinstance(value, RichValue):
        return opener + Markup(current_registry(value).marker(value, position)) + _RUN_CLOSE
    # Markup given as safe, or any value when escaping is off, is the caller's own XML.
    if hasattr(value, "__html__") or not context.eval_ctx.autoescape:
        return None
    text = escape(finalized(context, value, context.environment.finalize))
    return opener + text + _RUN_CLOSE if text else Markup("")


@pass_context
def run_value(context: Context, value: Any, properties: str = "") -> Any:
    """A plain value as a run holding its text, a rich value as its marker in a run; both
    with the run properties of the run the tag was typed in."""
    run = _run(context, value, Position.RUN, properties)
    return value if run is None else run


@pass_context
def paragraph_value(context: Context, value: Any, properties: str = "") -> Any:
    """A plain value as a paragraph holding its text; a rich value as its marker in one.
    The paragraph has the paragraph properties of the paragraph the tag was typed in,
    unless the value writes paragraphs with properties of their own."""
    run = _run(context, value, Position.PARAGRAPH, "")
    if run is None:
        return value
    if isinstance(value, RichValue) and value.own_paragraphs:
        properties = ""
    return Markup("<w:p>") + Markup(properties) + run + Markup("</w:p>")


FILTERS = {RUN_FILTER: run_value, PARAGRAPH_FILTER: paragraph_value}
