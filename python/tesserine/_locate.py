"""Where in a part a template error happened, told as the author can find it: the paragraph,
and the tag as it stands in the template rather than as XML."""

from __future__ import annotations

import re
from xml.sax.saxutils import unescape

import jinja2

from ._errors import TemplateSyntaxError

EXCERPT_LIMIT = 120
_MARKUP = re.compile(r"<[^>]*>")
_SPACE = re.compile(r"\s+")
# Jinja2 counts lines at these breaks only; str.splitlines knows many more.
_LINE_BREAK = re.compile(r"\r\n|\r|\n")
_TAG = re.compile(r"\{\{.*?\}\}|\{%.*?%\}", re.DOTALL)
_PARAGRAPH_START = re.compile(r"<w:p[ >]")
_QUOTED = re.compile(r"'([^']+)'")
# "unsupported operand type(s) for +: ..."
_OPERATOR = re.compile(r" for (\S+): ")


def _shorten(text: str) -> str:
    text = _SPACE.sub(" ", text).strip()
    if len(text) <= EXCERPT_LIMIT:
        return text
    start = max(0, text.find("{") - 20)
    return ("…" if start else "") + text[start:start + EXCERPT_LIMIT] + "…"


def _line(source: str, lineno: int) -> str:
    lines = _LINE_BREAK.split(source, maxsplit=lineno)
    return lines[lineno - 1] if 0 < lineno <= len(lines) else ""


def line_excerpt(source: str, lineno: int) -> str:
    """The template line, as the author typed it, not as XML."""
    line = _line(source, lineno)
    text = _MARKUP.sub("", line)
    # Tags written into attributes (a span, a shading) vanish with the markup.
    return _shorten(text if "{" in text else line)


def first_tag_line(source: str) -> int:
    """The line of the first tag, for errors that know no line of their own."""
    found = _TAG.search(source)
    return source.count("\n", 0, found.start()) + 1 if found else 1


def syntax_error(part: str, source: str, error: jinja2.TemplateSyntaxError) -> TemplateSyntaxError:
    lineno = error.lineno or 0
    return TemplateSyntaxError(part, lineno, error.message or str(error), line_excerpt(source, lineno))


def template_line(error: BaseException, filename: str) -> int | None:
    """The line of the template being evaluated when error was raised.

    Jinja2 rewrites the frames of compiled templates to carry the template's file name and
    line; the innermost one is the tag that failed.
    """
    line = None
    trace = error.__traceback__
    while trace is not None:
        if trace.tb_frame.f_code.co_filename == filename:
            line = trace.tb_lineno
        trace = trace.tb_next
    return line


def paragraph_number(source: str, lineno: int) -> int:
    """Counted from 1: each paragraph of a prepared part starts a line of its own."""
    lines = _LINE_BREAK.split(source, maxsplit=lineno)[:lineno]
    return sum(1 for line in lines if _PARAGRAPH_START.match(line))


def failing_tag(source: str, lineno: int, message: str) -> str:
    """The tag on the line that the message is about, or all the line's tags when it does
    not say; the line's text when it holds none (a tag cut by a paragraph break)."""
    tags = [unescape(tag, {"&quot;": '"', "&apos;": "'"}) for tag in _TAG.findall(_line(source, lineno))]
    if not tags:
        return line_excerpt(source, lineno)
    hints = _QUOTED.findall(message) + _OPERATOR.findall(message) + (["/", "%"] if "by zero" in message else [])
    for name in hints:
        for tag in tags:
            if name in tag:
                return _shorten(tag)
    return _shorten(" … ".join(tags))
