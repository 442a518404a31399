"""«{% vm %}» and «{% hm %}» turn a cell that a loop repeats into one merged cell."""

from types import ModuleType
from xml.etree import ElementTree

import jinja2
import pytest

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"
PRESERVE = '<w:t xml:space="preserve">'
VMERGE = '<w:vMerge w:val="{% if loop.first %}restart{% else %}continue{% endif %}"/>'


def run(text: str) -> str:
    return f"<w:r><w:rPr><w:b/></w:rPr>{PRESERVE}{text}</w:t></w:r>"


def cell(*runs: str, props: str = '<w:tcW w:w="1"/>', end: str = "</w:tc>") -> str:
    return f"<w:tc><w:tcPr>{props}</w:tcPr><w:p>{''.join(runs)}</w:p>{end}"


def row(*cells: str) -> str:
    return "<w:tr>" + "".join(cells) + "</w:tr>"


def render(impl: ModuleType, body: str, **values: object) -> ElementTree.Element:
    """Patch, render with Jinja2 and parse the result, as the host does."""
    src = (
        '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
        f"<w:body>{body}</w:body></w:document>"
    )
    patched = impl.patch_xml(src)
    assert patched is not None
    return ElementTree.fromstring(jinja2.Template(patched).render(**values))


def texts(element: ElementTree.Element) -> str:
    return "".join(t.text or "" for t in element.iter(f"{W}t"))


def prop(tc: ElementTree.Element, name: str) -> str | None:
    found = tc.find(f"{W}tcPr/{W}{name}")
    return None if found is None else found.get(f"{W}val")


def test_cell_examples(impl: ModuleType) -> None:
    vm = cell(run("A{% vm %}B"))
    assert impl.patch_xml(vm) == (
        f'<w:tc><w:tcPr><w:tcW w:w="1"/>{VMERGE}</w:tcPr><w:p><w:r><w:rPr><w:b/></w:rPr>'
        f"{PRESERVE}{{% if loop.first %}}AB{{% endif %}}</w:t></w:r></w:p></w:tc>"
    )
    hm = cell(run("{% hm %}x"), props='<w:gridSpan w:val="2"/>')
    assert impl.patch_xml(hm) == (
        '{% if loop.first %}<w:tc><w:tcPr><w:gridSpan w:val="{{ 2 * loop.length }}"/></w:tcPr>'
        f"<w:p>{run('x')}</w:p></w:tc>{{% endif %}}"
    )


TAB = "<w:r><w:tab/></w:r>"


def test_row_loop_with_merged_cells(impl: ModuleType) -> None:
    # Tags split over runs the way a word processor leaves them; the column
    # loop inside the row loop gives «{% hm %}» a loop of its own.
    table = (
        "<w:tbl>"
        + row(cell(run("{"), run("%tr for r in rows %}")))
        + row(
            cell(run("{{ r.name }}")),
            cell(TAB, run("Team "), run("{% v"), run("m %}")),
            cell(run("{%tc for c in cols %}")),
            cell(run("{"), run("% hm %}"), run("Total")),
            cell(run("{%tc endfor %}")),
        )
        + row(cell(run("{%tr endfor %}")))
        + "</w:tbl>"
    )
    rows = [{"name": "ann"}, {"name": "bob"}, {"name": "cy"}]
    trs = render(impl, table, rows=rows, cols=["x", "y"]).findall(f".//{W}tr")
    assert len(trs) == len(rows)
    for index, tr in enumerate(trs):
        name, team, total = tr.findall(f"{W}tc")
        assert texts(name) == rows[index]["name"]
        assert prop(team, "vMerge") == ("restart" if index == 0 else "continue")
        assert texts(team) == ("Team " if index == 0 else "")
        assert (texts(total), prop(total, "gridSpan")) == ("Total", "2")


def test_column_loops_with_merged_cells(impl: ModuleType) -> None:
    header = row(
        cell(run("{%tc for c in cols %}")),
        cell(run("Head{"), run("% hm "), run("%}"), end="</w:tc >"),
        cell(run("{%tc endfor %}")),
        cell(run("{%tc for c in cols %}")),
        cell(run("{% hm %}Sub"), props='<w:gridSpan w:val="2"/>'),
        cell(run("{%tc endfor %}")),
    )
    values = row(
        cell(run("{%tc for c in cols %}")),
        cell(run("{{ c }}")),
        cell(run("{%tc endfor %}")),
    )
    cols = ["a", "b", "c", "d"]
    first, second = render(impl, f"<w:tbl>{header}{values}</w:tbl>", cols=cols).findall(
        f".//{W}tr"
    )
    head, sub = first.findall(f"{W}tc")
    assert (texts(head), prop(head, "gridSpan")) == ("Head", "4")
    assert (texts(sub), prop(sub, "gridSpan")) == ("Sub", "8")
    assert not any((tc.tail or "").strip() for tc in first)
    assert [texts(tc) for tc in second.findall(f"{W}tc")] == cols


@pytest.mark.parametrize("value", ["٢", "2٢", "\u00a0"])
def test_non_ascii_span_falls_back(impl: ModuleType, value: str) -> None:
    bad = cell(run("{% hm %}"), props=f'<w:gridSpan w:val="{value}"/>')
    assert impl.patch_xml(bad) is None
    # Also when earlier cells were already rewritten.
    good = cell(run("{% hm %}"), props='<w:gridSpan w:val="3"/>')
    assert impl.patch_xml("<w:tbl>" + row(good, cell(run("x{% vm %}")), bad) + "</w:tbl>") is None
