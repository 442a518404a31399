"""The paragraphs and table cells of a part as its author sees them, read from the XML as
the word processor wrote it: numbered in document order, with their visible text and the
cell that holds them.

The scan reads markup by name only (paragraphs, tables, rows, cells, text elements,
spans, hyperlinks), never the template tags, so it works on any part that holds template
text, broken tags included. Offsets are those of the text it was given.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field, replace

from ._locate import xml_unescape

_ELEMENT = re.compile(r"<(/?)w:(p|tbl|tr|tc|t|gridBefore|gridSpan|gridCol|hyperlink)(?=[\s/>])([^>]*)>")
_VALUE = re.compile(r'\bw:(?:val|w)="([^"]*)"')
_RELATIONSHIP_ID = re.compile(r'\br:id="([^"]*)"')


@dataclass(frozen=True)
class Cell:
    """A table cell: its table counted in the part from 1, its row and column from 1."""

    table: int
    row: int
    column: int
    #: The first grid column the cell covers (from 0) and how many it covers.
    grid: int
    span: int
    #: Offset of the cell's "<w:tc".
    start: int


@dataclass
class Paragraph:
    number: int
    #: Offset of the paragraph's "<w:p".
    start: int
    cell: Cell | None
    pieces: list[str] = field(default_factory=list)
    #: Relationship ids of the hyperlinks in the paragraph.
    links: list[str] = field(default_factory=list)

    @property
    def text(self) -> str:
        return "".join(self.pieces)


@dataclass
class Table:
    number: int
    start: int
    #: Widths of the grid columns, in twentieths of a point (0 where none is given).
    widths: list[int] = field(default_factory=list)
    cells: list[Cell] = field(default_factory=list)
    #: Paragraphs directly in the table's cells, not in tables nested in them.
    paragraphs: list[Paragraph] = field(default_factory=list)


@dataclass
class Outline:
    paragraphs: list[Paragraph]
    tables: list[Table]

    def paragraph_with_link(self, relationship_id: str) -> Paragraph | None:
        return next((paragraph for paragraph in self.paragraphs if relationship_id in paragraph.links), None)


class _OpenTable:
    def __init__(self, table: Table) -> None:
        self.table = table
        self.row = 0
        self.column = 0
        self.grid = 0
        self.cell: Cell | None = None


def _span(value: str) -> int:
    return int(value) if value.isdigit() and 0 < int(value) < 1000 else 1


def read_outline(xml: str) -> Outline:
    """Every paragraph and table of the part, in document order."""
    paragraphs: list[Paragraph] = []
    tables: list[Table] = []
    open_paragraphs: list[Paragraph] = []
    open_tables: list[_OpenTable] = []
    for element in _ELEMENT.finditer(xml):
        closing, name, attributes = element.groups()
        empty = attributes.endswith("/")
        here = open_tables[-1] if open_tables else None
        if name == "t":
            if not closing and not empty and open_paragraphs:
                end = xml.find("<", element.end())
                text = xml[element.end():len(xml) if end < 0 else end]
                open_paragraphs[-1].pieces.append(xml_unescape(text))
        elif name == "p":
            if closing:
                if open_paragraphs:
                    open_paragraphs.pop()
                continue
            cell = here.cell if here is not None else None
            paragraph = Paragraph(len(paragraphs) + 1, element.start(), cell)
            paragraphs.append(paragraph)
            if here is not None and cell is not None:
                here.table.paragraphs.append(paragraph)
            if not empty:
                open_paragraphs.append(paragraph)
        elif name == "hyperlink":
            found = _RELATIONSHIP_ID.search(attributes)
            if not closing and found and open_paragraphs:
                open_paragraphs[-1].links.append(found.group(1))
        elif name == "tbl":
            if closing:
                if open_tables:
                    open_tables.pop()
            elif not empty:
                table = Table(len(tables) + 1, element.start())
                tables.append(table)
                open_tables.append(_OpenTable(table))
        elif here is None:
            continue
        elif name == "gridCol" and not closing and here.row == 0:
            found = _VALUE.search(attributes)
            here.table.widths.append(int(found.group(1)) if found and found.group(1).isdigit() else 0)
        elif name == "tr" and not closing:
            here.row += 1
            here.column = here.grid = 0
        elif name == "tc":
            if closing:
                if here.cell is not None:
                    here.grid = here.cell.grid + here.cell.span
                here.cell = None
            else:
                here.column += 1
                here.cell = Cell(here.table.number, max(here.row, 1), here.column, here.grid, 1, element.start())
                here.table.cells.append(here.cell)
        elif name == "gridBefore" and not closing and here.cell is None:
            found = _VALUE.search(attributes)
            here.grid += _span(found.group(1) if found else "1")
        elif name == "gridSpan" and not closing and here.cell is not None:
            # Spans stand in the cell properties, before any paragraph of the cell.
            found = _VALUE.search(attributes)
            here.cell = replace(here.cell, span=_span(found.group(1) if found else "1"))
            here.table.cells[-1] = here.cell
    return Outline(paragraphs, tables)
