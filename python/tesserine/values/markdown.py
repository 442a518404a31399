"""Markdown from data, parsed with markdown-it-py and written as the document's paragraphs."""

from __future__ import annotations

import dataclasses
from typing import Any

from .._ooxml import PARAGRAPH_PROPERTY_ORDER, Element, make, set_property
from .base import Blocks, Item, Placement, RichValue
from .errors import LinkError, RichValueError
from .styled import Format, Piece, check_link, joined
from .text import clean_text, text_markup_size

MONOSPACE = "Courier New"
_INDENT = 720  # twentieths of a point: half an inch per level
_DEEPEST_LEVEL = 8
# Heading sizes in points, for documents without "Heading N" styles.
_HEADING_SIZES = (20, 16, 14, 13, 12, 12)
# A paragraph with its properties (style, numbering, indent), or a run with a link.
_TOKEN_MARKUP = 600


def _parser() -> Any:
    try:
        from markdown_it import MarkdownIt
    except ImportError:
        raise RichValueError("Markdown values need markdown-it-py: pip install 'tesserine[rich]'") from None
    # With html off, raw HTML in the text is kept as text and never interpreted.
    return MarkdownIt("commonmark", {"html": False}).enable("strikethrough")


class Markdown(RichValue):
    """Markdown text; with `{{p x }}` it becomes paragraphs, headings, lists, quotes and code."""

    own_paragraphs = True

    def __init__(self, text: Any) -> None:
        cleaned = clean_text(str(text), "Markdown text")
        # Markdown has its own paragraphs; BEL and FF would make paragraphs outside it.
        self.text = cleaned.replace("\x07", "\n").replace("\x0c", "\n")
        self.tokens = _parser().parse(self.text)
        self._markup_size: int | None = None

    def __repr__(self) -> str:
        return f"Markdown({self.text!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Markdown) and other.text == self.text

    def __hash__(self) -> int:
        return hash(self.text)

    def plain_text(self) -> str:
        return self.text

    def markup_size(self) -> int:
        if self._markup_size is None:
            tokens = [child for token in self.tokens for child in [token, *(token.children or ())]]
            self._markup_size = sum(text_markup_size(token.content) + _TOKEN_MARKUP for token in tokens)
        return self._markup_size

    def place(self, placement: Placement, run_properties: Element | None) -> list[Item]:
        writer = _Writer(placement, run_properties)
        writer.write(self.tokens)
        inline = writer.paragraphs[0][1:] if writer.single_plain_paragraph else None
        return [Blocks(writer.paragraphs, keep_empty=False, inherit=True, inline=inline)]


@dataclasses.dataclass
class _Writer:
    placement: Placement
    run_properties: Element | None
    paragraphs: list[Element] = dataclasses.field(default_factory=list)
    lists: list[str] = dataclasses.field(default_factory=list)
    quotes: int = 0
    heading: int = 0
    numbered: bool = False
    plain: int = 0

    @property
    def single_plain_paragraph(self) -> bool:
        return len(self.paragraphs) == 1 and self.plain == 1

    def write(self, tokens: list[Any]) -> None:
        for token in tokens:
            kind = token.type
            if kind in ("bullet_list_open", "ordered_list_open"):
                start = token.attrGet("start")
                self.lists.append(self.placement.new_list(kind == "ordered_list_open", int(start or 1)))
            elif kind in ("bullet_list_close", "ordered_list_close"):
                self.lists.pop()
            elif kind == "list_item_open":
                self.numbered = True
            elif kind == "blockquote_open":
                self.quotes += 1
            elif kind == "blockquote_close":
                self.quotes -= 1
            elif kind == "heading_open":
                self.heading = int(token.tag[1:])
            elif kind == "heading_close":
                self.heading = 0
            elif kind == "inline":
                self.plain += not (self.heading or self.lists or self.quotes)
                self._paragraph(self._properties(), self._pieces(token.children or []))
            elif kind in ("fence", "code_block"):
                for line in token.content.rstrip("\n").split("\n"):
                    properties = self._properties()
                    unspaced = make("w:spacing", {"w:before": "0", "w:after": "0"})
                    set_property(properties, unspaced, PARAGRAPH_PROPERTY_ORDER)
                    self._paragraph(properties, (Piece(line, Format(font=MONOSPACE)),))
            elif kind == "hr":
                properties = self._properties()
                border = make("w:bottom", {"w:val": "single", "w:sz": "6", "w:space": "1", "w:color": "auto"})
                set_property(properties, make("w:pBdr", None, border), PARAGRAPH_PROPERTY_ORDER)
                self._paragraph(properties, ())

    def _properties(self) -> Element:
        properties = make("w:pPr")

        def put(element: Element) -> None:
            set_property(properties, element, PARAGRAPH_PROPERTY_ORDER)

        level = min(len(self.lists) - 1, _DEEPEST_LEVEL)
        if self.heading:
            style = self.placement.style_id(f"heading {self.heading}", "paragraph")
            if style is not None:
                put(make("w:pStyle", {"w:val": style}))
        elif self.lists:
            style = self.placement.style_id("List Paragraph", "paragraph")
            if style is not None:
                put(make("w:pStyle", {"w:val": style}))
        if self.lists and self.numbered:
            put(make("w:numPr", None, make("w:ilvl", {"w:val": str(level)}),
                     make("w:numId", {"w:val": self.lists[-1]})))
        indent = _INDENT * (self.quotes + (level + 1 if self.lists else 0))
        if indent and (self.quotes or not self.numbered):
            put(make("w:ind", {"w:left": str(indent), **({"w:hanging": "360"} if self.numbered else {})}))
        self.numbered = False
        return properties

    def _pieces(self, children: list[Any]) -> tuple[Piece, ...]:
        pieces: list[Piece] = []
        form = Format()
        links: list[str | None] = []
        for child in children:
            kind = child.type
            if kind in ("text", "html_inline"):
                pieces.append(Piece(child.content, form, links[-1] if links else None))
            elif kind == "code_inline":
                code = dataclasses.replace(form, font=MONOSPACE)
                pieces.append(Piece(child.content, code, links[-1] if links else None))
            elif kind == "softbreak":
                pieces.append(Piece(" ", form, links[-1] if links else None))
            elif kind == "hardbreak":
                pieces.append(Piece("\n", form, links[-1] if links else None))
            elif kind == "image":
                alt = child.content or str(child.attrGet("alt") or "")
                pieces.append(Piece(alt, form, links[-1] if links else None))
            elif kind in ("strong_open", "strong_close"):
                form = dataclasses.replace(form, bold=kind == "strong_open" or None)
            elif kind in ("em_open", "em_close"):
                form = dataclasses.replace(form, italic=kind == "em_open" or None)
            elif kind in ("s_open", "s_close"):
                form = dataclasses.replace(form, strike=kind == "s_open" or None)
            elif kind == "link_open":
                links.append(_address(str(child.attrGet("href") or "")))
            elif kind == "link_close" and links:
                links.pop()
        if self.heading and self.placement.style_id(f"heading {self.heading}", "paragraph") is None:
            size = _HEADING_SIZES[self.heading - 1]
            pieces = [dataclasses.replace(piece, format=dataclasses.replace(piece.format, bold=True, size=size))
                      for piece in pieces]
        return tuple(pieces)

    def _paragraph(self, properties: Element, pieces: tuple[Piece, ...]) -> None:
        paragraph = make("w:p", None, properties) if len(properties) else make("w:p")
        for item in joined(pieces).runs(self.placement, self.run_properties):
            if isinstance(item, Blocks):
                continue
            paragraph.append(item)
        self.paragraphs.append(paragraph)


def _address(href: str) -> str | None:
    # A Markdown link to anything but an absolute web or mail address stays plain text.
    try:
        return check_link(href)
    except LinkError:
        return None
