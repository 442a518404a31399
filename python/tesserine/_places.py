"""From a line of a part's template source back to the paragraph the author typed it in.

Patching moves tags (a row tag takes its row's place, quotes are made plain) and drops
whole paragraphs, so paragraphs cannot be counted in the template source. Instead each
paragraph start of the original part is numbered with an attribute, the numbered part is
put through the same preparation as the template, and since preparation puts every
paragraph start on a line of its own, each line tells which paragraph it starts. A tag on
a line stands in that paragraph, or in one that patching removed before the next
numbered line: it is looked up as typed in the visible text of those paragraphs.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from functools import cached_property

from ._locate import LINE_BREAK, MARKUP, shorten
from ._outline import Outline, Paragraph, read_outline
from ._problems import Place

PLACE_EXCERPT = 60
_PARAGRAPH_START = re.compile(r"<w:p(?=[\s/>])")
_NUMBER = re.compile(r' tesserine-p="(\d+)"')
# Tags in a paragraph's visible text; one left open runs to the end of the text.
_TYPED_TAG = re.compile(r"\{\{.*?(?:\}\}|\Z)|\{%.*?(?:%\}|\Z)|\{#.*?(?:#\}|\Z)", re.S)
_QUOTES = str.maketrans("“”„‘’‚", "\"\"\"'''")
# Keywords that name an element or a cell property, right after the opener.
_KEYWORD = re.compile(r"^[-+]?(?:(?:tr|tc|p|r) |\s*(?:colspan|cellbg)\s)")
# What the template engine sees of a tag whose value takes a run or a paragraph of its own.
_POSITION_FILTER = re.compile(r"^\((.*)\)\|tesserine_(?:run|paragraph)(?:\(.*\))?$", re.S)
_SPACE = re.compile(r"\s+")
_MERGE_TAG = re.compile(r"\{%-?\s*[hv]m\s*-?%\}")
_ENTITY = {"&lt;": "<", "&gt;": ">", "&quot;": '"', "&apos;": "'", "&#8216;": "'"}


def mark_paragraphs(xml: str) -> str:
    """The part with each paragraph start tag numbered, counting every paragraph.

    Only start tags that preparation puts on a line of their own carry a number; an
    attribute added to "<w:p/>" would give it a line it does not have.
    """
    number = 0

    def mark(found: re.Match[str]) -> str:
        nonlocal number
        number += 1
        follow = xml[found.end():found.end() + 1]
        return f'<w:p tesserine-p="{number}"' if follow in (" ", ">") else "<w:p"

    return _PARAGRAPH_START.sub(mark, xml)


def normal_tag(tag: str) -> str:
    """A tag reduced to what patching leaves of it: no delimiters, trim markers, element
    keyword, typographic quotes, entities or white space."""
    body = tag[2:]
    for closer in ("}}", "%}", "#}"):
        if body.endswith(closer):
            body = body[:-2]
            break
    body = _KEYWORD.sub("", body).strip("-+ \t").translate(_QUOTES)
    for entity, char in _ENTITY.items():
        body = body.replace(entity, char)
    body = body.replace("&amp;", "&")
    unwrapped = _POSITION_FILTER.match(body.strip())
    if unwrapped:
        body = unwrapped.group(1)
    return _SPACE.sub("", body)


def plain_tag(tag: str) -> str:
    """A tag of the source as the author wrote it, without the filter of its position."""
    unwrapped = _POSITION_FILTER.match(tag[2:-2].strip())
    return f"{tag[:2]} {unwrapped.group(1).strip()} {tag[-2:]}" if unwrapped else tag


def is_open(tag: str) -> bool:
    """Whether a tag lacks the closer of its kind (one cut short for a message has it)."""
    return not tag.endswith(({"{{": "}}", "{%": "%}", "{#": "#}"}.get(tag[:2], ""), "…"))


def typed_tags(text: str) -> Iterator[str]:
    for found in _TYPED_TAG.finditer(text):
        yield found.group()


def place_of(paragraph: Paragraph | None) -> Place:
    if paragraph is None:
        return Place()
    cell = paragraph.cell
    excerpt = shorten(paragraph.text, PLACE_EXCERPT)
    if cell is None:
        return Place(paragraph.number, excerpt)
    return Place(paragraph.number, excerpt, cell.table, cell.row, cell.column)


class PartPlaces:
    """The places of one part's template source in the part as it was typed, worked out
    the first time a place is asked for."""

    def __init__(self, xml: str, prepare: Callable[[str], str], source: str) -> None:
        """`prepare` turns a part's XML into text with the lines of its source `source`."""
        self._xml = xml
        self._prepare = prepare
        self._source = source

    @cached_property
    def outline(self) -> Outline:
        return read_outline(self._xml)

    @cached_property
    def _numbers(self) -> list[int | None]:
        """For each line of the source, the paragraph that starts on it."""
        marked = LINE_BREAK.split(self._prepare(mark_paragraphs(self._xml)))
        lines = LINE_BREAK.split(self._source)
        # Preparation treats the numbers as any attribute; if it ever did not, the lines
        # would not be the source's and the paragraphs are counted as the source has them.
        if len(marked) == len(lines):
            return [int(found.group(1)) if (found := _NUMBER.search(line)) else None for line in marked]
        numbers: list[int | None] = []
        count = 0
        for line in lines:
            starts = line.startswith(("<w:p ", "<w:p>"))
            count += starts
            numbers.append(count if starts else None)
        return numbers

    def _span(self, lineno: int) -> tuple[int | None, int]:
        """The paragraph started on the line or last before it, and the next one started
        on a later line (the last paragraph when there is none)."""
        here = None
        for number in reversed(self._numbers[:max(lineno, 0)]):
            if number is not None:
                here = number
                break
        following = next((number for number in self._numbers[lineno:] if number is not None),
                         len(self.outline.paragraphs))
        return here, following

    def paragraph(self, number: int | None) -> Paragraph | None:
        if number is None or not 0 < number <= len(self.outline.paragraphs):
            return None
        return self.outline.paragraphs[number - 1]

    def candidates(self, lineno: int) -> list[Paragraph]:
        """The paragraphs a tag on the line may have been typed in, the likeliest first."""
        here, following = self._span(lineno)
        first = here or 1
        return self.outline.paragraphs[first - 1:max(following, first)]

    def locate(self, lineno: int, tag: str | None) -> tuple[Place, str | None]:
        """The place of a tag of the source on a line, and the tag as the author typed it.

        A tag not found as typed (one that patching wrote, or cut by a paragraph break) is
        placed in the paragraph of its line and quoted as the source has it.
        """
        candidates = self.candidates(lineno)
        if tag:
            wanted = normal_tag(MARKUP.sub("", tag))
            closed = tag.endswith(("}}", "%}", "#}"))
            for paragraph in candidates:
                for typed in typed_tags(paragraph.text):
                    if typed.endswith(("}}", "%}", "#}")) == closed and normal_tag(typed) == wanted:
                        return place_of(paragraph), shorten(typed)
            # A tag typed without its closer runs, once patched, to the next closer there is.
            for paragraph in candidates:
                for typed in typed_tags(paragraph.text):
                    if is_open(typed) and wanted.startswith(normal_tag(typed)):
                        return place_of(paragraph), shorten(typed)
            if "loop." in tag:
                # Merge tags become tests of the loop: quote the merge tag the author typed.
                merge = self.find_typed(lineno, _MERGE_TAG.fullmatch)
                if merge is not None:
                    return merge
        here, _ = self._span(lineno)
        return place_of(self.paragraph(here)), plain_tag(tag) if tag else tag

    def find_typed(self, lineno: int, test: Callable[[str], object]) -> tuple[Place, str] | None:
        """The first tag typed in the line's paragraphs that passes test, with its place."""
        for paragraph in self.candidates(lineno):
            for typed in typed_tags(paragraph.text):
                if test(typed):
                    return place_of(paragraph), shorten(typed)
        return None
