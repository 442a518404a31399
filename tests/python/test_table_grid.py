"""Column loops refit the table grid: one grid column per column of the widest row, the
table's total width kept, shared out as the template's columns were."""

from __future__ import annotations

import re
from pathlib import Path

import docx
import pytest
from docx.shared import Twips
from helpers_docx import W, backend, members, to_bytes
from lxml import etree
from test_office import office, pdf_text

import tesserine

__all__ = ["backend", "office"]

# Loop cells are narrow, the repeated one wide: a refitted grid shows whose width it took.
WIDTHS = (1000, 6000, 1000)
PLAIN_TABLE = re.compile(r"<w:tbl>(?:(?!<w:tbl>).)*?plain cell.*?</w:tbl>", re.S)


def template(merged: bool) -> bytes:
    document = docx.Document()
    loop = document.add_table(rows=2, cols=3)
    first = "{% hm %}Values" if merged else "Values"
    for row, body in zip(loop.rows, (first, "{{ v }}"), strict=True):
        for cell, text, width in zip(row.cells, ("{%tc for v in vals %}", body, "{%tc endfor %}"), WIDTHS,
                                     strict=True):
            cell.text = text
            cell.width = Twips(width)
    for column, width in zip(loop.columns, WIDTHS, strict=True):
        column.width = Twips(width)
    document.add_paragraph("between")
    document.add_table(rows=1, cols=2).cell(0, 0).text = "plain cell"
    return to_bytes(document)


def grid(table: etree._Element) -> list[int]:
    return [int(column.get(f"{W}w")) for column in table.iter(f"{W}gridCol")]


def row_columns(row: etree._Element) -> int:
    spans = [cell.find(f"{W}tcPr/{W}gridSpan") for cell in row.iter(f"{W}tc")]
    return sum(1 if span is None else int(span.get(f"{W}val")) for span in spans)


@pytest.mark.parametrize("merged", [False, True])
@pytest.mark.parametrize("count", [1, 3, 7])
def test_grid_follows_the_widest_row(backend: str, count: int, merged: bool) -> None:
    data = template(merged)
    scrivelle = tesserine.Scrivelle(data)
    scrivelle.render({"vals": [f"v{n}" for n in range(count)]})
    xml = scrivelle.rendered_xml("word/document.xml")
    assert "tesserine-cell" not in xml
    loop, plain = etree.fromstring(xml.encode()).iter(f"{W}tbl")
    columns = grid(loop)
    assert len(columns) == count and sum(columns) == sum(WIDTHS)
    # Every repeated cell took the middle column's share; rounding moves a twip at most.
    assert max(columns) - min(columns) <= 1
    assert [row_columns(row) for row in loop.iter(f"{W}tr")] == [count, count]
    if merged:
        assert [len(list(row.iter(f"{W}tc"))) for row in loop.iter(f"{W}tr")] == [1, count]
    widths = [int(width.get(f"{W}w")) for width in loop.iter(f"{W}tcW")]
    assert widths[-count:] == columns
    # The table that no loop changed keeps its bytes.
    original = members(data)["word/document.xml"].decode()
    assert PLAIN_TABLE.search(xml).group() == PLAIN_TABLE.search(original).group()  # type: ignore[union-attr]


def test_merged_header_never_passes_the_grid() -> None:
    document = docx.Document()
    table = document.add_table(rows=2, cols=3)
    for row, (items, body) in zip(table.rows, [("heads", "{% hm %}H"), ("vals", "{{ v }}")], strict=True):
        for cell, text in zip(row.cells, (f"{{%tc for v in {items} %}}", body, "{%tc endfor %}"), strict=True):
            cell.text = text
    scrivelle = tesserine.Scrivelle(to_bytes(document))
    scrivelle.render({"heads": list(range(5)), "vals": ["a", "b", "c"]})
    loop = next(etree.fromstring(scrivelle.rendered_xml("word/document.xml").encode()).iter(f"{W}tbl"))
    assert len(grid(loop)) == 3
    assert [row_columns(row) for row in loop.iter(f"{W}tr")] == [3, 3]


def test_every_column_shows_in_libreoffice(office: str, tmp_path: Path) -> None:
    documents = []
    for merged in (False, True):
        scrivelle = tesserine.Scrivelle(template(merged))
        scrivelle.render({"vals": [f"col{n}x" for n in range(7)]})
        documents.append(tmp_path / f"merged{merged}.docx")
        scrivelle.save(documents[-1])
    for text in pdf_text(office, documents, tmp_path):
        lines = [line.split() for line in text.splitlines() if "col0x" in line]
        assert lines == [[f"col{n}x" for n in range(7)]]
