"""The template's own control characters in text elements, kept from turning into markup.

After rendering, a tab, line feed, BEL or form feed inside a text element becomes
WordprocessingML markup: that is how a value asks for a tab or a break. Producers that
pretty-print their XML put line feeds (and tabs, carriage returns) inside text elements
too, and those must keep the meaning they had. Before patching, they are written as
character references, which XML readers take for the same characters and which the
post-render step does not see. Characters inside template tags stay as they are: there
they are Jinja white space.
"""

from __future__ import annotations

import re
from bisect import bisect_left, bisect_right

# A carriage return is read as a line feed (XML end-of-line handling), "\r\n" as one.
_REFERENCE = str.maketrans({"\x07": "&#7;", "\t": "&#9;", "\n": "&#10;", "\x0c": "&#12;", "\r": "&#10;"})
_CONTROLS = "\x07\t\n\x0c\r"

# Text start tags that need work: a self-closing one with attributes (which the
# post-render step takes to reach the next "</w:t>", across the markup in between),
# white space other than spaces inside the tag (which that step would take for text),
# or a control character in the text that follows. Possessive, and never past the next
# "<", so each element is read a bounded number of times, even when a tag is left open.
_TEXT_START = re.compile(
    r"<w:t(?:(?=\s[^<>]*+/>)|(?=[\t\n\r]|\s[^<>\t\n\r]*+[\t\n\r])"
    r"|(?=(?:\s[^<>]*+)?>[^<\x07\t\n\x0c\r]*+[\x07\t\n\x0c\r]))"
    r"(?P<attributes>[^<>]*+)>(?P<text>[^<]*+)"
)
# Inside a tag, white space other than spaces means what a space means, in attribute
# values too (attribute-value normalisation).
_TAG_SPACE = re.compile(r"\r\n|[\t\n\r]")

# Markup that patching deletes between a delimiter's two characters (runs split them):
# a pattern for any number of tags, possessive so that it never backtracks.
SPLIT_MARKUP = r"(?:<[^<>]*+>)*+"
# A template tag as the template engine will see it once patched: from its opener to the
# first closer of its kind, or to the end when it has none; a closer with a trim marker
# takes the white space after it, which the engine strips. The groups hold the opener's
# trim marker, for the white space before it.
_TEMPLATE_TAG = re.compile(
    rf"\{{{SPLIT_MARKUP}(?:"
    + "|".join(
        rf"{second}(?P<trim{n}>-)?.*?(?:-{closer}{SPLIT_MARKUP}\}}\s*|{closer}{SPLIT_MARKUP}\}}|\Z)"
        for n, (second, closer) in enumerate([(r"\{", r"\}"), ("%", "%"), ("#", "#")])
    )
    + ")",
    re.S,
)


def _written(text: str) -> str:
    return text.replace("\r\n", "\n").translate(_REFERENCE)


def _tag_spans(xml: str) -> tuple[list[int], list[int]]:
    """Starts and ends of the template tags, with the white space that trim markers strip."""
    starts: list[int] = []
    ends: list[int] = []
    # str.find skips to the next brace far faster than the regular expression's own search.
    at = xml.find("{")
    while at >= 0:
        tag = _TEMPLATE_TAG.match(xml, at)
        if tag is None:
            at = xml.find("{", at + 1)
            continue
        start = tag.start()
        if "-" in tag.group("trim0", "trim1", "trim2"):
            floor = ends[-1] if ends else 0
            while start > floor and xml[start - 1].isspace():
                start -= 1
        starts.append(start)
        ends.append(tag.end())
        at = xml.find("{", tag.end())
    return starts, ends


def protect_template_text(xml: str) -> str:
    """The part's XML with the control characters of its own text written as references."""
    # Most parts have a line break after the declaration; that one is markup white space.
    begin = max(xml.find("<", 1), 0) if xml.startswith("<?xml") else 0
    if all(xml.find(control, begin) < 0 for control in _CONTROLS):
        return xml
    spans: tuple[list[int], list[int]] | None = None

    def references(text: str, offset: int) -> str:
        nonlocal spans
        if spans is None:
            # Only parts with control characters in their text pay for finding the tags.
            spans = _tag_spans(xml)
        starts, ends = spans
        pieces: list[str] = []
        at = 0
        for index in range(bisect_right(ends, offset), bisect_left(starts, offset + len(text))):
            start = max(starts[index] - offset, 0)
            end = min(ends[index] - offset, len(text))
            pieces += _written(text[at:start]), text[start:end]
            at = end
        pieces.append(_written(text[at:]))
        return "".join(pieces)

    def protect(match: re.Match[str]) -> str:
        attributes = _TAG_SPACE.sub(" ", match["attributes"])
        if attributes.endswith("/"):
            # An empty element, written with its closing tag; what follows is markup.
            return f"<w:t{attributes[:-1]}></w:t>{match['text']}"
        return f"<w:t{attributes}>{references(match['text'], match.start('text'))}"

    return _TEXT_START.sub(protect, xml)
