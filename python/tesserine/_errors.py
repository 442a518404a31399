"""Exceptions raised by tesserine: one base class, one subclass per kind of fault."""

from __future__ import annotations

from typing import Any

from ._problems import Place


class TesserineError(Exception):
    """Base class of every error that tesserine raises on purpose."""

    def __reduce__(self) -> tuple[Any, ...]:
        # Errors cross process boundaries in batch runs. A subclass whose __init__ takes
        # other arguments than its message is rebuilt from its fields, without __init__.
        return _rebuild, (type(self), self.args, self.__dict__)


def _rebuild(kind: type[TesserineError], args: tuple[Any, ...], fields: dict[str, Any]) -> TesserineError:
    error = kind.__new__(kind, *args)
    error.args = args
    error.__dict__.update(fields)
    return error


class NotADocxError(TesserineError):
    """The template is not a word-processing document that tesserine can fill."""


class TemplateSyntaxError(TesserineError):
    """A template tag in a document part is not valid Jinja2.

    `place` says where the tag stands (paragraph, excerpt, table cell) when it is known;
    `tag` is the tag as the author typed it, and `excerpt` the text around it.
    """

    def __init__(self, part: str, lineno: int, message: str, excerpt: str, place: Place | None = None,
                 tag: str | None = None) -> None:
        self.part = part
        self.lineno = lineno
        self.message = message
        self.excerpt = excerpt
        self.place = place or Place()
        self.tag = tag or excerpt
        self.paragraph = self.place.paragraph
        where = self.place.describe(self.tag)
        super().__init__(f"{part}: {where + ': ' if where else ''}template syntax error: {message} (in: {self.tag})")


class TemplateRenderError(TesserineError):
    """Rendering a document part failed on the data it was given.

    `paragraph` counts the part's paragraphs from 1 (None when the tag stands before the
    first one or is not known); `tag` is the template tag being evaluated, as typed;
    `place` adds the paragraph's text or table cell when the template document is known;
    `lineno` is the line of the part's template source.
    """

    def __init__(self, part: str, message: str, tag: str | None = None, paragraph: int | None = None,
                 place: Place | None = None, lineno: int | None = None) -> None:
        self.part = part
        self.message = message
        self.tag = tag
        self.place = place or Place(paragraph)
        self.paragraph = self.place.paragraph
        self.lineno = lineno
        where = self.place.describe(tag)
        quoted = f" (in: {tag})" if tag else ""
        super().__init__(f"{part}: {where + ': ' if where else ''}{message}{quoted}")


class _PositionedXmlError(TesserineError):
    """A fault at a line and column of a part's XML, with the text around it."""

    _what = ""

    def __init__(self, part: str, line: int, column: int, reason: str, excerpt: str) -> None:
        self.part = part
        self.line = line
        self.column = column
        self.reason = reason
        self.excerpt = excerpt
        super().__init__(f"{part}: {self._what} at line {line}, column {column}: {reason} (near: {excerpt})")


class MalformedPartError(_PositionedXmlError):
    """A rendered document part is not well-formed XML; saving it would break the document."""

    _what = "rendered XML is not well-formed"


class LimitError(TesserineError):
    """A template or a render went past one of its `Limits`."""


class RenderTimeoutError(LimitError):
    """Rendering a document ran out of its time."""


class TemplatePartError(_PositionedXmlError):
    """A part of the template document cannot be read as XML text (encoding, DOCTYPE, prolog)."""

    _what = "the template part cannot be read"


class UnsafeTemplateError(TemplateRenderError):
    """A template reached for Python internals that the sandbox keeps from templates."""


class InvalidCharacterError(TemplateRenderError):
    """A value holds a character that XML cannot hold (a lone surrogate, most control characters)."""


class ExpressionLimitError(LimitError, TemplateRenderError):
    """A template expression would build a value larger than a part may produce."""


class LinkAddressError(TemplateRenderError):
    """A link address filled from the template is not an absolute http, https or mailto URL."""
