"""Table grids that follow column loops.

A `{%tc for %}` loop repeats cells, but the table's `w:tblGrid` still lists the columns
the template had, and word processors size and clip the table by that grid. Before
rendering, each cell of a table holding a column tag is marked with the template grid
columns it covers; after rendering, a table whose rows no longer fit its grid, or whose
cells no longer stand in the columns they were typed in, gets one column per grid column
of its widest row, the table's total width kept and shared out as the template's columns
were (a repeated cell takes the width of the cell it repeats).
Cells widened by `{% hm %}` never make the grid wider than the rows without them.
Tables and parts without column tags are left as they are, byte for byte.
"""

from __future__ import annotations

import re
from itertools import accumulate, pairwise

from lxml import etree

from ._ooxml import NS, Element, qn, whole_number
from ._outline import read_outline
from ._template_text import SPLIT_MARKUP

_ATTRIBUTE = "tesserine-cell"
_MARK = re.compile(rf' {_ATTRIBUTE}="\d+:\d+"')
# A column tag in the XML as written: its characters may be split by run markup.
_COLUMN_TAG_IN_XML = re.compile(rf"\{{{SPLIT_MARKUP}[{{%]{SPLIT_MARKUP}t{SPLIT_MARKUP}c{SPLIT_MARKUP} ")
_COLUMN_TAG = re.compile(r"\{[{%]tc ")
_TABLE = re.compile(r"<w:tbl(?=[\s>])|</w:tbl>")
_ROOT = re.compile(r"<(?![?!])[^>]*>")
_DECLARATION = re.compile(r'\sxmlns(?::[\w.-]+)?="[^"]*"')
_WRAPPER = "tesserine-table"


def mark_columns(xml: str) -> str:
    """The part with the cells of its column-loop tables marked with their template columns."""
    if _COLUMN_TAG_IN_XML.search(xml) is None:
        return xml
    tables = [table for table in read_outline(xml).tables
              if any(_COLUMN_TAG.search(paragraph.text) for paragraph in table.paragraphs)]
    cells = sorted((cell for table in tables for cell in table.cells), key=lambda cell: cell.start)
    pieces: list[str] = []
    done = 0
    for cell in cells:
        at = cell.start + len("<w:tc")
        pieces += xml[done:at], f' {_ATTRIBUTE}="{cell.grid}:{cell.span}"'
        done = at
    pieces.append(xml[done:])
    return "".join(pieces)


def _table_spans(xml: str) -> list[tuple[int, int]]:
    spans = []
    starts: list[int] = []
    for found in _TABLE.finditer(xml):
        if found.group() == "</w:tbl>":
            if starts:
                spans.append((starts.pop(), found.end()))
        else:
            starts.append(found.start())
    return spans


def widen_grids(xml: str) -> str:
    """The rendered part with the grids of its column-loop tables fitted and the marks gone."""
    if f' {_ATTRIBUTE}="' not in xml:
        return xml
    root = _ROOT.search(xml)
    declarations = "".join(_DECLARATION.findall(root.group())) if root else ""
    done: list[tuple[int, int, int]] = []
    # Nested tables first, so that each table is read with its own cells' marks only.
    for start, end in sorted(_table_spans(xml), reverse=True):
        end += sum(delta for inner_start, inner_end, delta in done if start < inner_start and inner_end <= end)
        table = xml[start:end]
        if f' {_ATTRIBUTE}="' not in table:
            continue
        fitted = _fit(table, declarations)
        xml = xml[:start] + fitted + xml[end:]
        done.append((start, end, len(fitted) - len(table)))
    # Marks in a table left open by the template are dropped all the same.
    return _MARK.sub("", xml)


def _cells(row: Element) -> list[Element]:
    found = row.xpath("w:tc | w:sdt/w:sdtContent/w:tc | w:customXml/w:tc", namespaces={"w": NS["w"]})
    return [cell for cell in found if isinstance(cell, etree._Element)]


def _span_element(cell: Element) -> Element | None:
    return cell.find(f"{qn('w:tcPr')}/{qn('w:gridSpan')}")


def _fit(table: str, declarations: str) -> str:
    try:
        wrapper = etree.fromstring(f"<{_WRAPPER}{declarations}>{table}</{_WRAPPER}>".encode())
    except etree.XMLSyntaxError:
        # Saving reports a malformed part; the marks must not be what it trips on.
        return _MARK.sub("", table)
    element = wrapper[0]
    grid = element.find(qn("w:tblGrid"))
    columns = [] if grid is None else grid.findall(qn("w:gridCol"))
    widths = [whole_number(column, "w:w") or 0 for column in columns]
    rows = [_Row(row) for row in element.findall(qn("w:tr"))]
    plain = [row.width for row in rows if not row.widened]
    size = max(plain or [row.width for row in rows], default=len(columns))
    # Cells away from the columns they were typed in were repeated or dropped by a loop.
    regrid = size != len(columns) or any(row.moved for row in rows)
    narrowed = [row for row in rows if row.width > size]
    if not rows or not (regrid or narrowed):
        # A table with nothing to change keeps its bytes; only the marks go.
        return _MARK.sub("", table)
    for row in narrowed:
        row.narrow_to(size)
    if regrid:
        widest = max((row for row in rows if row.width == size), key=lambda row: not row.widened)
        widths = _shared_out(widest.weights(widths, size), sum(widths))
        if grid is not None:
            for column in columns:
                grid.remove(column)
            for width in widths:
                etree.SubElement(grid, qn("w:gridCol"), {qn("w:w"): str(width)} if width else {})
    for row in rows if regrid else narrowed:
        row.set_widths(widths)
    for row in rows:
        for cell in row.cells:
            cell.attrib.pop(_ATTRIBUTE, None)
    text = etree.tostring(wrapper, encoding="unicode")
    return text[text.index(">") + 1:-len(f"</{_WRAPPER}>")]


class _Row:
    def __init__(self, row: Element) -> None:
        properties = row.find(qn("w:trPr"))
        self.before = whole_number(None if properties is None else properties.find(qn("w:gridBefore")), "w:val") or 0
        self.after = whole_number(None if properties is None else properties.find(qn("w:gridAfter")), "w:val") or 0
        self.cells = _cells(row)
        self.spans = [whole_number(_span_element(cell), "w:val") or 1 for cell in self.cells]
        self.template: list[tuple[int, int] | None] = []
        for cell in self.cells:
            mark = cell.get(_ATTRIBUTE, "")
            grid, _, span = mark.partition(":")
            self.template.append((int(grid), int(span)) if grid.isdecimal() and span.isdecimal() else None)

    @property
    def width(self) -> int:
        return self.before + sum(self.spans) + self.after

    def _is_widened(self, index: int) -> bool:
        template = self.template[index]
        return template is not None and self.spans[index] > template[1]

    @property
    def moved(self) -> bool:
        # One start more than cells (where the last cell ends), left unused.
        starts = accumulate(self.spans, initial=self.before)
        return any(template is not None and (template[0], template[1]) != (start, span)
                   for template, start, span in zip(self.template, starts, self.spans, strict=False))

    @property
    def widened(self) -> bool:
        return any(self._is_widened(index) for index in range(len(self.cells)))

    def narrow_to(self, size: int) -> None:
        """Take back from merged spans, the last first, what passes the grid."""
        excess = self.width - size
        for index in reversed(range(len(self.cells))):
            if excess <= 0:
                break
            if self._is_widened(index):
                cut = min(excess, self.spans[index] - 1)
                self.spans[index] -= cut
                excess -= cut
                _span_element(self.cells[index]).set(qn("w:val"), str(self.spans[index]))  # type: ignore[union-attr]

    def weights(self, widths: list[int], size: int) -> list[int]:
        """A width for each grid column of this row, from the template's column widths."""
        usual = sum(widths) // len(widths) if widths else 0
        weights = widths[:self.before] + [usual] * max(0, self.before - len(widths))
        for template, span in zip(self.template, self.spans, strict=True):
            repeated = widths[template[0]:template[0] + template[1]] if template else []
            weights += [repeated[index % len(repeated)] if repeated else usual for index in range(span)]
        weights += widths[len(widths) - self.after:] if self.after else []
        return (weights + [usual] * size)[:size]

    def set_widths(self, widths: list[int]) -> None:
        edges = [0, *accumulate(widths)]
        column = self.before
        for cell, span in zip(self.cells, self.spans, strict=True):
            end = min(column + span, len(widths))
            width = cell.find(f"{qn('w:tcPr')}/{qn('w:tcW')}")
            if width is not None and width.get(qn("w:type"), "dxa") == "dxa" and edges[end] > edges[column]:
                width.set(qn("w:w"), str(edges[end] - edges[column]))
            column = end


def _shared_out(weights: list[int], total: int) -> list[int]:
    """Whole widths in proportion to weights, adding up to total exactly."""
    if not weights:
        return []
    weight_sum = sum(weights)
    if not total:
        # A grid without widths leaves the sizes to the word processor.
        return [0] * len(weights)
    if not weight_sum:
        weights, weight_sum = [1] * len(weights), len(weights)
    edges = [round(total * running / weight_sum) for running in accumulate(weights)]
    return [edge - previous for previous, edge in pairwise([0, *edges])]
