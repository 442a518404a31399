"""What every rich value shares: the marker it renders as, and the registry that holds it."""

from __future__ import annotations

import contextvars
import secrets
import sys
from abc import ABC, abstractmethod
from bisect import bisect_right
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from dataclasses import dataclass, field
from enum import Enum
from functools import lru_cache
from types import FrameType
from typing import ClassVar, Protocol

from .._errors import LimitError
from .._ooxml import Element
from .errors import RichValueError


class Position(Enum):
    """Where a tag stands in the part, as the template's markup shows it."""

    INLINE = "inline"
    RUN = "run"
    PARAGRAPH = "paragraph"


@dataclass
class Blocks:
    """Paragraphs that end the paragraph a value stands in and open a new one after them.

    A paragraph break in text is `Blocks([], keep_empty=True)`: both halves stay even
    when empty, as with a plain value; a Markdown body drops empty halves.
    """

    paragraphs: list[Element]
    keep_empty: bool = True
    #: Paragraph properties of the paragraph they stand in serve as theirs, under their own.
    inherit: bool = False
    #: What to put in the text instead when the value stands inside a run with text around it.
    inline: list[Element] | None = None


@dataclass(frozen=True)
class Snippet:
    """Markup that lxml wrote once, copied as text for each use: a picture repeated down a
    long table costs a string join each time, not a tree to copy, insert and write out.

    It must be a complete element, declaring the namespaces it uses that the part's root
    does not (`Placement.namespaces`).
    """

    markup: str


Item = Element | Blocks | Snippet


class Placement(Protocol):
    """What a value may ask of the part and the document it is placed into."""

    part: str
    #: Bytes a picture may take; None for no limit.
    max_picture_size: int | None
    #: The namespaces the part's root declares, by prefix: markup written as text for the
    #: part need not declare these again.
    namespaces: Mapping[str | None, str]

    def relationship(self, kind: str, target: str, *, external: bool = False) -> str: ...

    def media(self, data: bytes, extension: str, digest: str | None = None) -> str:
        """The relationship id of a media member holding `data` (whose SHA-256 in hex is
        `digest`, when the caller keeps it)."""

    def drawing_id(self) -> int: ...

    def style_id(self, name: str, kind: str) -> str | None: ...

    def style_names(self, kind: str) -> list[str]: ...

    def new_list(self, ordered: bool, start: int = 1) -> str: ...


class RichValue(ABC):
    """A value that writes its own markup in place of the marker it renders as."""

    #: Whether the value writes whole paragraphs, whose properties are their own: placed
    #: by a paragraph tag, they take none from the paragraph the tag was typed in.
    own_paragraphs: ClassVar[bool] = False

    @abstractmethod
    def place(self, placement: Placement, run_properties: Element | None) -> list[Item]:
        """The markup of the value, given the run properties of the run it stands in."""

    @abstractmethod
    def plain_text(self) -> str:
        """What the value reads as where only text can go."""

    @abstractmethod
    def markup_size(self) -> int:
        """A bound on the characters of markup that placing the value writes, run
        properties of the run it stands in aside."""

    def __html__(self) -> str:
        return current_registry(self).marker(self, Position.INLINE)


@dataclass
class Registry:
    """The rich values of one render, each behind a marker no escaped data can forge.

    A marker is a processing instruction: escaped data can hold neither "<" nor "?>",
    and the random nonce keeps markup that a caller passes as safe from posing as one.
    The markup that the values of one part will write counts against `limit`, as the
    part's own output does: a marker is short, the drawing it stands for is not.
    """

    limit: int = sys.maxsize
    nonce: str = field(default_factory=lambda: secrets.token_hex(8))
    entries: list[tuple[RichValue, Position]] = field(default_factory=list)
    #: Where the compiled template was when it printed each entry, when known.
    places: list[tuple[str, int] | None] = field(default_factory=list)
    part: str = ""
    size: int = 0

    @property
    def target(self) -> str:
        return "tesserine-" + self.nonce

    def begin_part(self, part: str) -> None:
        self.part, self.size = part, 0

    def line(self, index: int) -> int | None:
        """The line of the part's template source that printed entry `index`, when known:
        worked out only for the errors that name it."""
        return _template_line(self.places[index])

    def marker(self, value: RichValue, position: Position) -> str:
        self.size += value.markup_size()
        if self.size > self.limit:
            raise LimitError(f"{self.part}: the rich values of the part would write more than {self.limit:,}"
                             " characters of markup (max_output_size)")
        self.entries.append((value, position))
        self.places.append(_code_line(self.part))
        return f"<?{self.target} {len(self.entries) - 1}?>"


def _code_line(part: str) -> tuple[str, int] | None:
    """Where the part's compiled template is now: its table of template lines by code line
    and the line of code. The compiled template's frames carry the part's name."""
    frame: FrameType | None = sys._getframe(2)
    while frame is not None and frame.f_code.co_filename != part:
        frame = frame.f_back
    if frame is None:
        return None
    info = frame.f_globals.get("debug_info")
    return (info, frame.f_lineno) if isinstance(info, str) and info else None


def _template_line(place: tuple[str, int] | None) -> int | None:
    if place is None:
        return None
    code_lines, template_lines = _line_table(place[0])
    found = bisect_right(code_lines, place[1])
    return template_lines[found - 1] if found else 1


@lru_cache(maxsize=16)
def _line_table(info: str) -> tuple[list[int], list[int]]:
    """Jinja2's "template=code&..." line pairs as code lines in order and their template lines."""
    pairs = sorted((int(code), int(template)) for template, code in
                   (pair.split("=") for pair in info.split("&")))
    return [code for code, _ in pairs], [template for _, template in pairs]


_REGISTRY: contextvars.ContextVar[Registry | None] = contextvars.ContextVar("tesserine_registry", default=None)


def current_registry(value: RichValue) -> Registry:
    registry = _REGISTRY.get()
    if registry is None:
        raise RichValueError(
            f"{type(value).__name__} values can only be placed by a tesserine render (Scrivelle.render)"
        )
    return registry


@contextmanager
def rendering(limit: int = sys.maxsize) -> Iterator[Registry]:
    """The registry of one render; markers made inside belong to it."""
    registry = Registry(limit)
    token = _REGISTRY.set(registry)
    try:
        yield registry
    finally:
        _REGISTRY.reset(token)
