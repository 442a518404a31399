"""Fragments: the body of another .docx, or of a rendered template, in place of a paragraph."""

from __future__ import annotations

import io
import os
from typing import TYPE_CHECKING, Any, BinaryIO, cast

from lxml import etree

from .._errors import TesserineError
from .._limits import DEFAULT_LIMITS, Limits
from .._ooxml import Element, qn
from .._package import open_package
from .base import Blocks, Item, Placement, RichValue
from .errors import RichValueError

if TYPE_CHECKING:
    from .._document import Scrivelle
    from .._fragment_source import FragmentSource

FragmentInput = str | os.PathLike[str] | bytes | bytearray | memoryview | BinaryIO

PARAGRAPH_ONLY = "{{p x }}"


class FragmentWarning(UserWarning):
    """Something in a fragment cannot be carried into another document and is left out."""


class Fragment(RichValue):
    """The body of another document (paragraphs, tables, lists, pictures, links, notes),
    placed with `{{p x }}` in place of the paragraph.

    `source` is a .docx (path, bytes or binary file) or a `Scrivelle` after render(), of
    which the rendered document is taken as it stands now. The styles, lists, pictures,
    links and notes the body uses come with it. A style the document has already (same id
    or name) is the document's; `keep_styles=True` keeps the fragment's look instead, adding
    its styles that look different under new names. The fragment is read within `limits`,
    as a template is; what cannot be carried (embedded objects, charts, comments, section
    breaks) is left out with a `FragmentWarning` naming it.
    """

    own_paragraphs = True

    def __init__(self, source: FragmentInput | Scrivelle, *, keep_styles: bool = False,
                 limits: Limits | None = None) -> None:
        from .._fragment_source import FragmentSource

        self.keep_styles = bool(keep_styles)
        self._limits = limits or DEFAULT_LIMITS
        package = open_package(_document(source), self._limits)
        self._data = package.data
        self.label = "<rendered template>" if isinstance(source, _scrivelle()) else package.label
        # What the fragment holds is read now: a broken fragment fails where it is made.
        self._source: FragmentSource | None = FragmentSource(package, self.label)
        self._text: str | None = None
        self._size: int | None = None

    @property
    def source(self) -> FragmentSource:
        if self._source is None:
            from .._fragment_source import FragmentSource

            # Read again after unpickling; what it leaves out was told where the fragment was made.
            self._source = FragmentSource(open_package(self._data, self._limits), self.label, warn=False)
        return self._source

    def __repr__(self) -> str:
        return f"Fragment({self.label!r})"

    def __getstate__(self) -> dict[str, Any]:
        # The parsed body is lxml, which does not pickle.
        return {**self.__dict__, "_source": None}

    def __html__(self) -> str:
        raise misplaced()

    def plain_text(self) -> str:
        if self._text is None:
            self._text = "\n".join("".join(text.text or "" for text in paragraph.iter(qn("w:t")))
                                   for paragraph in self.source.body.content.iter(qn("w:p")))
        return self._text

    def markup_size(self) -> int:
        if self._size is None:
            # The ids a copy is given are about as long as the fragment's own.
            self._size = sum(len(etree.tostring(story.content)) for story in self.source.stories())
        return self._size

    def place(self, placement: Placement, run_properties: Element | None) -> list[Item]:
        # The import builds on the package resources, which import the values.
        from .._fragment_import import insert
        from .._resources import PartResources

        if not isinstance(placement, PartResources):
            raise RichValueError(f"{self!r} can only be placed by a tesserine render (Scrivelle.render)")
        return [Blocks(insert(self.source, placement, self.keep_styles), keep_empty=False)]


def misplaced() -> RichValueError:
    return RichValueError(f"a Fragment takes the place of a paragraph: type it as {PARAGRAPH_ONLY}, alone in its"
                          " paragraph")


def _scrivelle() -> type[Scrivelle]:
    from .._document import Scrivelle

    return Scrivelle


def _document(source: FragmentInput | Scrivelle) -> FragmentInput:
    """The .docx a source stands for: for a rendered template, its document as saved now."""
    if not isinstance(source, _scrivelle()):
        return cast(FragmentInput, source)
    buffer = io.BytesIO()
    try:
        source.save(buffer)
    except TesserineError as error:
        raise RichValueError(f"Fragment: the template gives no document ({error})") from None
    return buffer.getvalue()
