"""Text from data as a document holds it: line ends, characters XML refuses, tabs and breaks."""

from __future__ import annotations

import copy
import re

from markupsafe import Markup, escape

from .._ooxml import Element, make, text_element
from .base import Blocks
from .errors import ValueTextError

# Characters that XML 1.0 cannot hold. BEL and FF stand for paragraph and page breaks; a
# carriage return is white space to XML, and text from data has its line ends made line
# feeds before this check.
_REFUSED = re.compile("[\x00-\x06\x08\x0b\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
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


def visible(text: str) -> str:
    """The text with control characters and surrogates written as escapes."""
    return "".join(char if char.isprintable() else ascii(char)[1:-1] for char in text)


def excerpt(text: str, position: int) -> str:
    """A short stretch of text around position, quoted, with unprintable characters made visible."""
    start = max(0, position - _EXCERPT_RADIUS)
    end = position + _EXCERPT_RADIUS + 1
    lead = "…" if start else ""
    tail = "…" if end < len(text) else ""
    return f"'{lead}{visible(text[start:end])}{tail}'"


def check_text(text: str, what: str = "a value") -> str:
    """The text, if XML can hold every character of it; else an error that shows where."""
    refused = _REFUSED.search(text)
    if refused is not None:
        at = refused.start()
        raise ValueTextError(f"{what} holds {visible(text[at])} at character {at + 1}, which XML cannot hold:"
                             f" {excerpt(text, at)}")
    return text


def clean_text(text: str, what: str) -> str:
    """Text from data as a document holds it: line ends made line breaks, every character checked."""
    return check_text(normalize_line_ends(text), what)


def escaped_text(text: str) -> Markup:
    """Checked text, escaped so that post-rendering leaves it exactly as given."""
    escaped = escape(text)
    if "_" in escaped:
        return Markup(_DELIMITER_UNDERSCORE.sub("&#95;", escaped))
    return escaped


# Escaping makes a character at most five ("&amp;"); a tab or break ends a text element
# and writes its own element, and a paragraph or page break ends a paragraph.
_ESCAPED_CHAR = 5
_LAYOUT_MARKUP = 80


def text_markup_size(text: str) -> int:
    """A bound on the markup that `text_runs` writes for text, run properties aside."""
    breaks = sum(text.count(char) for char in "\t\n\x07\x0c") if len(text) > 1 else len(text)
    return _ESCAPED_CHAR * len(text) + _LAYOUT_MARKUP * (breaks + 1)


def page_break_paragraph() -> Element:
    return make("w:p", None, make("w:r", None, make("w:br", {"w:type": "page"})))


def text_runs(text: str, run_properties: Element | None) -> list[Element | Blocks]:
    """Runs for a cleaned text: tabs and line breaks inside runs, BEL and FF as paragraph ends."""
    items: list[Element | Blocks] = []
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
