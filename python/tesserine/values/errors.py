"""Errors of rich values: each names the value and what to do about it."""

from __future__ import annotations

from .._errors import TesserineError


class RichValueError(TesserineError):
    """A rich value (picture, styled text, link, Markdown) cannot be built or placed."""


class PictureError(RichValueError):
    """The data of a picture cannot be read, or its size is not a valid length."""


class LinkError(RichValueError):
    """A link address is not an absolute http, https or mailto URL."""


class ValueTextError(RichValueError):
    """A value holds a character that a document cannot hold."""
