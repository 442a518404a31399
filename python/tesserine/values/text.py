"""Text from data as a document holds it: line ends, characters XML refuses, tabs and breaks."""

from __future__ import annotations

import copy
import re

from markupsafe import Markup, escape

from .._ooxml import Element, make, text_element
from .base import Blocks, Item
from .errors import ValueTextError

# What XML 1.0 can hold, plus BEL and FF, which stand for paragraph and page breaks.
_REFUSED = re.compile("[^\t\n\x07\x0c\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")
# A vertical tab is what word processors copy for a manual line break.
_LINE_ENDS = re.compile("\r\n?|\v")
# The underscore of "{_{", "}_}", "{_%" and "%_}": post-rendering turns these back into
# template delimiters, so data that holds them would come out altered.
_DELIMITER_UNDERSCORE = re.compile(r"(?<=[{}%])_(?=[{}%])")
_EXCERPT_RADIUS = 20
_BREAKS = re.compile("([\x07\x0c])")
_LAYOUT = re.compile("([\t\n])")


def normalize_line_ends(text: str) -> str:
    """"\r\n", a lone "\r" and "\v" made the line feed that becomes a line break."""
    if "\r" in text or "\v" in text:
        return _LINE_ENDS.sub("\n", text)
    return text


def clean_text(text: str, what: str) -> str:
    """Line ends made line breaks; a character no document can hold is an error showing it."""
    text = normalize_line_ends(text)
    refused = _REFUSED.search(text)
    if refused is not None:
        at = refused.start()
        excerpt = text[max(0, at - _EXCERPT_RADIUS):at + _EXCERPT_RADIUS]
        raise ValueTextError(
            f"{what}: character {ascii(refused.group())} at position {at} cannot stand in a document"
            f" (in: {excerpt!r})"
        )
    return text


def escaped_text(text: str) -> Markup:
    """Checked text, escaped so that post-rendering leaves it exactly as given."""
    escaped = str(escape(text))
    if "_" in escaped:
        escaped = _DELIMITER_UNDERSCORE.sub("&#95;", escaped)
    return Markup(escaped)


def xml_text(text: str, what: str = "value") -> Markup:
    """A plain value as escaped text that comes out of rendering exactly as given."""
    return escaped_text(clean_text(text, what))


def page_break_paragraph() -> Element:
    return make("w:p", None, make("w:r", None, make("w:br", {"w:type": "page"})))


def text_runs(text: str, run_properties: Element | None) -> list[Item]:
    """Runs for a cleaned text: tabs and line breaks inside runs, BEL and FF as paragraph ends."""
    items: list[Item] = []
    for index, piece in enumerate(_BREAKS.split(text)):
        if index % 2:
            items.append(Blocks([page_break_paragraph()] if piece == "\x0c" else []))
        elif piece:
            items.append(_run(piece, run_properties))
    return items


def _run(text: str, run_properties: Element | None) -> Element:
    run = make("w:r")
    if run_properties is not None and len(run_properties):
        run.append(copy.deepcopy(run_properties))
    for index, piece in enumerate(_LAYOUT.split(text)):
        if index % 2:
            run.append(make("w:tab" if piece == "\t" else "w:br"))
        elif piece:
            run.append(text_element(piece))
    return run
