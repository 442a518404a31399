"""Patching, compiling and rendering of one document part's XML, within the render's budget."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from functools import lru_cache
from typing import Any

import jinja2
from jinja2 import pass_context
from jinja2.exceptions import SecurityError
from jinja2.runtime import Context

from . import _backend, _bytecode_cache
from ._deadline import current, render_budget
from ._errors import (
    ExpressionLimitError,
    InvalidCharacterError,
    LimitError,
    TemplateRenderError,
    TemplateSyntaxError,
    TesserineError,
    UnsafeTemplateError,
)
from ._growth import stays_within
from ._limits import DEFAULT_LIMITS, Limits
from ._locate import failing_tag, first_tag_line, line_excerpt, paragraph_number, syntax_error, template_line
from ._sandbox import Refused, SafeEnvironment, TrustedEnvironment
from .values.errors import RichValueError, ValueTextError
from .values.filters import FILTERS, finalized, value_finalizer
from .values.text import excerpt, visible

# The name a part rendered on its own goes by in messages.
LONE_PART = "<part>"

_CHECK_CHARS = 1 << 16


@lru_cache(maxsize=4)
def default_environment(autoescape: bool = True, trusted: bool = False) -> jinja2.Environment:
    """The shared Environment used when the caller brings none: sandboxed unless trusted."""
    # The part's final line feed is document content, not template layout.
    kind = TrustedEnvironment if trusted else SafeEnvironment
    return kind(autoescape=autoescape, keep_trailing_newline=True)


def caller_environment(environment: jinja2.Environment, autoescape: bool) -> jinja2.Environment:
    """A caller's environment as given, with what tesserine's tags need: the filters of run
    and paragraph tags, and values printed exactly as given after the caller's own finalize."""
    ours, own = value_finalizer(str), environment.finalize
    if own is None:
        finalize: Callable[..., Any] = ours
    else:

        @pass_context
        def finalize(context: Context, value: Any) -> Any:
            return ours(context.eval_ctx, finalized(context, value, own))

    overlay = environment.overlay(autoescape=autoescape, finalize=finalize)
    overlay.filters = {**environment.filters, **FILTERS}
    return overlay


def patch_xml(xml: str) -> str:
    """Turn a part's XML, as the word processor wrote it, into template source."""
    return _backend.active.patch_xml(xml)


def prepare_source(patched: str) -> str:
    """The text that the template engine compiles for a patched part."""
    prepared = _backend.active.pre_render(patched)
    return patched if prepared is None else prepared


def compile_part(environment: jinja2.Environment, part: str, source: str) -> jinja2.Template:
    """The compiled template of a prepared part; its frames carry the part's name."""
    current().part = part
    try:
        # Compiled code is kept on disk, so that other processes skip Jinja2's compile.
        return _bytecode_cache.compile_part(environment, part, source)
    except jinja2.TemplateSyntaxError as error:
        raise syntax_error(part, source, error) from None
    except (RecursionError, SyntaxError):
        # The parser recurses per nesting level, and Python caps nested blocks.
        excerpt = line_excerpt(source, first_tag_line(source))
        raise TemplateSyntaxError(part, 0, "tags nested too deeply", excerpt) from None


def render_error(error: Exception, part: str, source: str, lineno: int | None = None) -> TemplateRenderError:
    """The error told at the tag of `source` it was raised in: the one evaluated at `lineno`,
    or, when not given, at the line its traceback shows."""
    kind: type[TemplateRenderError]
    if isinstance(error, Refused):
        kind, message = ExpressionLimitError, str(error)
    elif isinstance(error, ValueTextError):
        kind, message = InvalidCharacterError, str(error)
    elif isinstance(error, RichValueError):
        kind, message = TemplateRenderError, str(error)
    elif isinstance(error, SecurityError):
        kind, message = UnsafeTemplateError, f"the sandbox keeps Python internals from templates: {error}"
    else:
        kind, message = TemplateRenderError, f"{type(error).__name__}: {error}"
    if lineno is None:
        lineno = template_line(error, part)
    if lineno is None:
        return kind(part, message)
    return kind(part, message, failing_tag(source, lineno, message), paragraph_number(source, lineno), lineno=lineno)


def render_part(template: jinja2.Template, context: Mapping[str, Any], part: str, source: str) -> str:
    """The template's output, produced piece by piece within the render's budget."""
    budget = current()
    budget.part = part
    limit = budget.max_output
    pieces: list[str] = []
    size = 0
    # One comparison per piece; the size limit and the deadline are looked at every
    # _CHECK_CHARS characters of output (loops that write nothing check for themselves).
    checkpoint = min(limit, _CHECK_CHARS)
    try:
        for piece in template.generate(context):
            pieces.append(piece)
            size += len(piece)
            if size > checkpoint:
                if size > limit:
                    raise LimitError(f"{part}: the rendered part passed {limit:,} characters (max_output_size)")
                budget.check()
                checkpoint = min(limit, size + _CHECK_CHARS)
    except RichValueError as error:
        # Raised as a value is printed: the tag that printed it is the place to show.
        raise render_error(error, part, source) from error
    except (TesserineError, MemoryError):
        raise
    except Exception as error:
        # Whatever fails while the template evaluates is a fault of template or data.
        raise render_error(error, part, source) from error
    return "".join(pieces)


def finish_output(rendered: str, part: str) -> str:
    """Turn the template engine's output back into WordprocessingML."""
    budget = current()
    limit = budget.max_output
    if budget.limits.max_output_size is not None and not stays_within(rendered, limit):
        raise LimitError(
            f"{part}: the rendered part holds so many tabs and line, paragraph or page breaks that its"
            f" markup could pass {limit:,} characters (max_output_size)")
    try:
        finished = _backend.active.post_render(rendered)
    except UnicodeEncodeError as error:
        # Only a caller's own environment lets such a value through to here.
        raise InvalidCharacterError(part, f"the rendered part holds {visible(rendered[error.start])} at character"
                                          f" {error.start + 1}, which XML cannot hold: {excerpt(rendered, error.start)}"
                                    ) from None
    return rendered if finished is None else finished


def render_xml_part(
    xml: str,
    context: Mapping[str, Any],
    environment: jinja2.Environment | None = None,
    *,
    trusted: bool = False,
    limits: Limits | None = None,
) -> str:
    """Render one patched part, sandboxed unless trusted, within limits (the defaults if None).

    Errors are `TesserineError`s that name the part as "<part>".
    """
    env = default_environment(trusted=trusted) if environment is None else environment
    with render_budget(limits or DEFAULT_LIMITS):
        source = prepare_source(xml)
        template = compile_part(env, LONE_PART, source)
        return finish_output(render_part(template, context, LONE_PART, source), LONE_PART)
