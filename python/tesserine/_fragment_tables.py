"""Tables of a fragment that land in a table cell, narrowed to fit it.

A fragment's tables keep the widths they had on its page; placed in a cell (a table row
loop with `{{p item.sheet }}`), they would run past the cell and out of the page. Where
they land is known only once the part is placed, so they carry a mark until then.
"""

from __future__ import annotations

from ._ooxml import Element, qn, whole_number

MARK = "tesserine-fit"
_W_TBL, _W_TC, _W_TR = qn("w:tbl"), qn("w:tc"), qn("w:tr")
_W, _TYPE = qn("w:w"), qn("w:type")
# Word's default left and right cell margins, in twentieths of a point.
_CELL_MARGIN = 108


def fit_marked(root: Element) -> None:
    """Narrow each marked table that stands in a cell too narrow for it; clear the marks."""
    for table in [each for each in root.iter(_W_TBL) if MARK in each.attrib]:
        del table.attrib[MARK]
        cell = next((ancestor for ancestor in table.iterancestors(_W_TC)), None)
        room = None if cell is None else _room(cell)
        widths = [whole_number(column, "w:w") for column in table.iterfind(f"{qn('w:tblGrid')}/{qn('w:gridCol')}")]
        if room is None or not widths or None in widths:
            continue
        total = sum(width for width in widths if width is not None)
        if total > room > 0:
            _scale(table, room / total)


def _room(cell: Element) -> int | None:
    """The width inside a cell: its columns of the table grid, less the cell margins."""
    row = cell.getparent()
    table = None if row is None else row.getparent()
    if row is None or table is None or row.tag != _W_TR:
        return None
    columns = [whole_number(column, "w:w") for column in table.iterfind(f"{qn('w:tblGrid')}/{qn('w:gridCol')}")]
    start = 0
    for sibling in row.iterchildren(_W_TC):
        if sibling is cell:
            break
        start += _span(sibling)
    chosen = columns[start:start + _span(cell)]
    if chosen and None not in chosen:
        width = sum(column for column in chosen if column is not None)
    else:
        preferred = cell.find(f"{qn('w:tcPr')}/{qn('w:tcW')}")
        if preferred is None or preferred.get(_TYPE) != "dxa":
            return None
        width = whole_number(preferred, "w:w") or 0
    return width - 2 * _CELL_MARGIN


def _span(cell: Element) -> int:
    span = whole_number(cell.find(f"{qn('w:tcPr')}/{qn('w:gridSpan')}"), "w:val")
    return 1 if span is None else span


def _scale(table: Element, factor: float) -> None:
    """Scale the table's own widths (its grid, its cells, its width if absolute)."""
    def scaled(element: Element | None) -> None:
        width = whole_number(element, "w:w")
        if element is not None and width is not None and element.get(_TYPE) in (None, "dxa"):
            element.set(_W, str(int(width * factor)))

    for column in table.iterfind(f"{qn('w:tblGrid')}/{qn('w:gridCol')}"):
        scaled(column)
    scaled(table.find(f"{qn('w:tblPr')}/{qn('w:tblW')}"))
    for row in table.iterchildren(_W_TR):
        for cell in row.iterchildren(_W_TC):
            scaled(cell.find(f"{qn('w:tcPr')}/{qn('w:tcW')}"))
