"""Styled text and links: text whose formatting comes from the data."""

from __future__ import annotations

import copy
import re
from dataclasses import dataclass, fields
from typing import Any
from urllib.parse import urlsplit

from .._ooxml import RUN_PROPERTY_ORDER, Element, make, set_property
from .base import Blocks, Item, Placement, RichValue
from .errors import LinkError, RichValueError
from .text import clean_text, text_markup_size, text_runs

HYPERLINK = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink"
# Word's own colour for a link when the document has no "Hyperlink" style.
LINK_COLOUR = "0563C1"

HIGHLIGHTS = {name.lower(): name for name in (
    "black", "blue", "cyan", "green", "magenta", "red", "yellow", "white", "darkBlue", "darkCyan",
    "darkGreen", "darkMagenta", "darkRed", "darkYellow", "darkGray", "lightGray", "none",
)}
UNDERLINES = {name.lower(): name for name in (
    "single", "words", "double", "thick", "dotted", "dottedHeavy", "dash", "dashedHeavy", "dashLong",
    "dashLongHeavy", "dotDash", "dashDotHeavy", "dotDotDash", "dashDotDotHeavy", "wave", "wavyHeavy",
    "wavyDouble", "none",
)}
_HEX = re.compile(r"#?([0-9A-Fa-f]{6}|[0-9A-Fa-f]{3})")
LINK_SCHEMES = frozenset({"http", "https", "mailto"})
_LARGEST_SIZE = 1638  # points; Word's largest font size
# The run properties a piece can set, and a hyperlink around it.
_PIECE_MARKUP = 600


def _colour(value: str, what: str) -> str:
    if value.lower() == "auto":
        return "auto"
    match = _HEX.fullmatch(value)
    if match is None:
        raise RichValueError(f"{what}={value!r}: give a colour as hex digits, like 'FF0000' or '#f00'")
    digits = match.group(1)
    return (digits if len(digits) == 6 else "".join(c * 2 for c in digits)).upper()


def _toggle(name: str, on: bool) -> Element:
    return make(f"w:{name}", None if on else {"w:val": "0"})


@dataclass(frozen=True)
class Format:
    """The run formatting that one styled piece sets; None leaves the run's own."""

    bold: bool | None = None
    italic: bool | None = None
    underline: bool | str | None = None
    strike: bool | None = None
    color: str | None = None
    highlight: str | None = None
    size: float | None = None
    font: str | None = None
    style: str | None = None
    superscript: bool = False
    subscript: bool = False

    def __post_init__(self) -> None:
        # Data that says "no" must not give bold text: only True and False switch.
        for name in ("bold", "italic", "strike", "underline", "superscript", "subscript"):
            value = getattr(self, name)
            optional = name not in ("superscript", "subscript")
            if not (isinstance(value, bool) or (optional and value is None)
                    or (name == "underline" and isinstance(value, str))):
                raise RichValueError(f"{name}={value!r}: give True or False"
                                     + (" or the name of an underline" if name == "underline" else ""))
        if self.color is not None:
            object.__setattr__(self, "color", _colour(str(self.color), "color"))
        if isinstance(self.underline, str) and self.underline.lower() not in UNDERLINES:
            raise RichValueError(f"underline={self.underline!r}:"
                                 f" use True, False or one of {sorted(UNDERLINES.values())}")
        if self.highlight is not None:
            name = str(self.highlight)
            if name.lower() not in HIGHLIGHTS:
                object.__setattr__(self, "highlight", "#" + _colour(name, "highlight"))
        if self.size is not None:
            if (isinstance(self.size, bool) or not isinstance(self.size, (int, float))
                    or not 0 < self.size <= _LARGEST_SIZE):
                raise RichValueError(f"size={self.size!r}:"
                                     f" give a font size in points, above 0 and at most {_LARGEST_SIZE}")
        if self.superscript and self.subscript:
            raise RichValueError("superscript and subscript cannot both be set")
        if self.font is not None:
            clean_text(str(self.font), "the font name")

    def apply(self, properties: Element, placement: Placement) -> None:
        """Set what this format sets on a run properties element, in schema order."""
        def put(element: Element) -> None:
            set_property(properties, element, RUN_PROPERTY_ORDER)

        if self.style is not None:
            style_id = placement.style_id(self.style, "character")
            if style_id is None:
                names = ", ".join(placement.style_names("character")) or "none"
                raise RichValueError(
                    f"style={self.style!r}: the document has no character style of that name (it has: {names})"
                )
            put(make("w:rStyle", {"w:val": style_id}))
        if self.font is not None:
            font = str(self.font)
            put(make("w:rFonts", {"w:ascii": font, "w:hAnsi": font, "w:cs": font, "w:eastAsia": font}))
        for name, value in (("b", self.bold), ("i", self.italic)):
            if value is not None:
                put(_toggle(name, value))
                put(_toggle(name + "Cs", value))
        if self.strike is not None:
            put(_toggle("strike", self.strike))
        if self.color is not None:
            put(make("w:color", {"w:val": self.color}))
        if self.size is not None:
            half_points = str(round(self.size * 2))
            put(make("w:sz", {"w:val": half_points}))
            put(make("w:szCs", {"w:val": half_points}))
        if self.highlight is not None:
            if self.highlight.startswith("#"):
                put(make("w:shd", {"w:val": "clear", "w:color": "auto", "w:fill": self.highlight[1:]}))
            else:
                put(make("w:highlight", {"w:val": HIGHLIGHTS[self.highlight.lower()]}))
        if self.underline is not None:
            kind = self.underline if isinstance(self.underline, str) else ("single" if self.underline else "none")
            put(make("w:u", {"w:val": UNDERLINES[kind.lower()]}))
        if self.superscript or self.subscript:
            put(make("w:vertAlign", {"w:val": "superscript" if self.superscript else "subscript"}))


def check_link(url: str) -> str:
    """An absolute http, https or mailto address, exactly as given."""
    if not isinstance(url, str):
        raise LinkError(f"link address must be a string, not {type(url).__name__}")
    try:
        parts = urlsplit(url)
    except ValueError as error:
        raise LinkError(f"link {url!r}: not a valid address ({error})") from None
    scheme = parts.scheme.lower()
    complete = bool(parts.netloc) if scheme in ("http", "https") else bool(parts.path)
    if scheme not in LINK_SCHEMES or not complete or any(ord(c) < 0x20 or c == "\x7f" for c in url):
        raise LinkError(f"link {url!r}: only absolute http, https and mailto addresses are allowed")
    clean_text(url, "the link")
    return url


@dataclass(frozen=True)
class Piece:
    text: str
    format: Format
    link: str | None = None


class Styled(RichValue):
    """Text with formatting from data; it keeps the formatting of the run it stands in
    and overrides only what it sets. Pieces concatenate with `+`."""

    pieces: tuple[Piece, ...]

    def __init__(
        self,
        text: Any,
        *,
        bold: bool | None = None,
        italic: bool | None = None,
        underline: bool | str | None = None,
        strike: bool | None = None,
        color: str | None = None,
        highlight: str | None = None,
        size: float | None = None,
        font: str | None = None,
        style: str | None = None,
        superscript: bool = False,
        subscript: bool = False,
        link: str | None = None,
    ) -> None:
        form = Format(bold, italic, underline, strike, color, highlight, size, font, style, superscript, subscript)
        cleaned = clean_text(str(text), f"{type(self).__name__} text")
        self.pieces = (Piece(cleaned, form, None if link is None else check_link(link)),)

    def __add__(self, other: object) -> Styled:
        if isinstance(other, Styled):
            return joined(self.pieces + other.pieces)
        if isinstance(other, (str, int, float)):
            return joined(self.pieces + (Piece(clean_text(str(other), "text"), Format()),))
        return NotImplemented

    def __radd__(self, other: object) -> Styled:
        if isinstance(other, (str, int, float)):
            return joined((Piece(clean_text(str(other), "text"), Format()),) + self.pieces)
        return NotImplemented

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Styled) and other.pieces == self.pieces

    def __hash__(self) -> int:
        return hash(self.pieces)

    def __str__(self) -> str:
        return self.plain_text()

    def __repr__(self) -> str:
        shown = []
        for piece in self.pieces:
            options = [f"{f.name}={getattr(piece.format, f.name)!r}" for f in fields(piece.format)
                       if getattr(piece.format, f.name) not in (None, False)]
            if piece.link is not None:
                options.append(f"link={piece.link!r}")
            shown.append(f"Styled({', '.join([repr(piece.text), *options])})")
        return " + ".join(shown)

    def plain_text(self) -> str:
        return "".join(piece.text for piece in self.pieces)

    def markup_size(self) -> int:
        return sum(text_markup_size(piece.text) + _PIECE_MARKUP for piece in self.pieces)

    def place(self, placement: Placement, run_properties: Element | None) -> list[Item]:
        return list(self.runs(placement, run_properties))

    def runs(self, placement: Placement, run_properties: Element | None) -> list[Element | Blocks]:
        """The runs and hyperlinks of the text, and the paragraph breaks between them."""
        items: list[Element | Blocks] = []
        for piece in self.pieces:
            properties = make("w:rPr") if run_properties is None else copy.deepcopy(run_properties)
            if piece.link is not None:
                link_look(properties, placement)
            piece.format.apply(properties, placement)
            runs = text_runs(piece.text, properties)
            if piece.link is None:
                items.extend(runs)
            else:
                items.extend(_hyperlinks(runs, placement.relationship(HYPERLINK, piece.link, external=True)))
        return items


def joined(pieces: tuple[Piece, ...]) -> Styled:
    """One styled value made of pieces that are already checked."""
    value = Styled.__new__(Styled)
    value.pieces = pieces
    return value


def link_look(properties: Element, placement: Placement) -> None:
    style_id = placement.style_id("Hyperlink", "character")
    if style_id is not None:
        set_property(properties, make("w:rStyle", {"w:val": style_id}), RUN_PROPERTY_ORDER)
    else:
        set_property(properties, make("w:color", {"w:val": LINK_COLOUR}), RUN_PROPERTY_ORDER)
        set_property(properties, make("w:u", {"w:val": "single"}), RUN_PROPERTY_ORDER)


def _hyperlinks(runs: list[Element | Blocks], relationship_id: str) -> list[Element | Blocks]:
    """Runs wrapped in hyperlinks; a paragraph break ends one hyperlink and starts another."""
    items: list[Element | Blocks] = []
    current: Element | None = None
    for item in runs:
        if isinstance(item, Blocks):
            items.append(item)
            current = None
            continue
        if current is None:
            current = make("w:hyperlink", {"r:id": relationship_id, "w:history": "1"})
            items.append(current)
        current.append(item)
    return items


class Link(Styled):
    """An external hyperlink; `text` defaults to the address, other options as for Styled."""

    def __init__(self, url: str, text: Any = None, **styled: Any) -> None:
        address = check_link(url)
        shown = address[len("mailto:"):] if text is None and address.lower().startswith("mailto:") else address
        super().__init__(shown if text is None else text, link=address, **styled)
