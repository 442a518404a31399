"""The whole patch pipeline through each implementation, on parts shaped the way a
word processor leaves them, with passes acting on what earlier ones wrote; the
sound behaviour behind a fallback; merged cells rendered by Jinja2."""

from types import ModuleType
from xml.etree import ElementTree

import jinja2
import pytest
from helpers_docx import W

from tesserine import _pure

T = '<w:t xml:space="preserve">'
BOLD = "<w:rPr><w:b/></w:rPr>"


def run(text: str, props: str = "", start: str = "<w:t>") -> str:
    return f"<w:r>{props}{start}{text}</w:t></w:r>"


def para(*parts: str) -> str:
    return f'<w:p w:rsidR="00A1">{"".join(parts)}</w:p>'


def tr(*cells: str) -> str:
    return "<w:tr>" + "".join(f"<w:tc>{c}</w:tc>" for c in cells) + "</w:tr>"


@pytest.mark.parametrize(("src", "expected"), [
    # Delimiters split with proofing marks and a bookmark between the pieces; quotes
    # and escapes cleaned inside tags only; a comment joined but not cleaned.
    (para(run("Dear ", BOLD), run("{", BOLD), '<w:proofErr w:type="spellStart"/>', run("{ cus", BOLD),
          '<w:bookmarkStart w:id="0" w:name="_GoBack"/>', run("tomer.name }", BOLD, T), run("}"),
          run("{% if a &lt; “b” %}, ‘x’ &lt;"), run("{"), run("# “note” #"), run("}")),
     para(run("Dear ", BOLD), run("{{ customer.name }}", BOLD, T), run('{% if a < "b" %}, ‘x’ &lt;', start=T),
          run("{# “note” #}"))),
    # Both trim markers; a run tag first gets a run of its own, which is then replaced by the tag.
    (para(run("Hi", start=T)) + para(run("{%- if x -%}", start=T)) + para(run("é{%r if y %}é", BOLD, T)),
     para(run("Hi{% if x %}é", start=T), "{% if y %}", run("é", start=T))),
    # A row tag split over runs is joined and moved onto its row; nested tables take the nearest rows.
    ("<w:tbl><w:tr><w:tc><w:tbl>" + tr(para(run("{", BOLD), '<w:proofErr w:type="spellStart"/>',
                                            run("%tr for", BOLD), run(" x in ", BOLD, T), run("xs %"), run("}")))
     + tr(para(run("{%p if x %}", start=T)) + para(run("X", start=T)) + para(run("{%p endif %}", start=T)))
     + tr(para(run("{%tr endfor %}"))) + "</w:tbl></w:tc></w:tr></w:tbl>",
     "<w:tbl><w:tr><w:tc><w:tbl>{% for x in xs %}<w:tr><w:tc>{% if x %}" + para(run("X", start=T))
     + "{% endif %}</w:tc></w:tr>{% endfor %}</w:tbl></w:tc></w:tr></w:tbl>"),
    # Nothing to do: delimiters that never pair, closed tags, markers beside document text.
    (para(run("a {", start=T), run(" {b}x}", start=T), run("{y{{ a }}", start=T), run("b {%- x %}", BOLD, T)),
     None),
])
def test_parts_are_patched(impl: ModuleType, src: str, expected: str | None) -> None:
    assert impl.patch_xml(src) == (src if expected is None else expected)


def test_unhandled_input_asks_for_the_sound_reference(impl: ModuleType) -> None:
    cell = "<w:tc><w:tcPr>{}</w:tcPr><w:p><w:r><w:t>{}</w:t></w:r></w:p></w:tc>".format
    good = cell("", "{% colspan 2 %}") + cell("", "{% cellbg a %}") + cell('<w:gridSpan w:val="3"/>', "{% hm %}")
    for bad, sound in [(cell("", r"{% colspan a\b %}"), r'<w:tc><w:tcPr><w:gridSpan w:val="{{a\b }}"/>'),
                       (cell("", r"{% cellbg c\d %}"), r'<w:shd w:val="clear" w:color="auto" w:fill="{{c\d }}"/>'),
                       (cell('<w:gridSpan w:val="\u0662"/>', "{% hm %}"),
                        '{% if loop.first %}<w:tc><w:tcPr><w:gridSpan w:val="\u0662"/>')]:
        # Also when earlier cells were already rewritten.
        assert impl.patch_xml(bad) is None and impl.patch_xml(f"<w:tr>{good}{bad}</w:tr>") is None
        assert sound in _pure.patch_xml_sound(bad)
    split = tr(para(run("{"), run("{tr x }}")))
    assert _pure.patch_xml_sound(split) == impl.patch_xml(split) == "{{ x }}"


def merged_table(impl: ModuleType, body: str, **values: object) -> list[ElementTree.Element]:
    """Patch, render with Jinja2 and parse the result, as the host does; the table's rows."""
    src = f'<w:document xmlns:w="{W[1:-1]}"><w:body><w:tbl>{body}</w:tbl></w:body></w:document>'
    patched = impl.patch_xml(src)
    assert patched is not None
    return ElementTree.fromstring(jinja2.Template(patched).render(**values)).findall(f".//{W}tr")


def cell(*texts: str, props: str = '<w:tcW w:w="1"/>', end: str = "</w:tc>") -> str:
    runs = "".join(run(text, BOLD, T) for text in texts)
    return f"<w:tc><w:tcPr>{props}</w:tcPr><w:p>{runs}</w:p>{end}"


def texts(element: ElementTree.Element) -> str:
    return "".join(t.text or "" for t in element.iter(f"{W}t"))


def prop(tc: ElementTree.Element, name: str) -> str | None:
    found = tc.find(f"{W}tcPr/{W}{name}")
    return None if found is None else found.get(f"{W}val")


def test_column_loops_with_merged_cells(impl: ModuleType) -> None:
    # Split tags, the end tag with a space; a span of its own is multiplied by the loop's length.
    loop, end = cell("{%tc for c in cols %}"), cell("{%tc endfor %}")
    header = (loop + cell("Head{", "% hm ", "%}", end="</w:tc >") + end
              + loop + cell("{% hm %}Sub", props='<w:gridSpan w:val="2"/>') + end)
    cols = ["a", "b", "c", "d"]
    values = loop + cell("{{ c }}") + end
    first, second = merged_table(impl, f"<w:tr>{header}</w:tr><w:tr>{values}</w:tr>", cols=cols)
    head, sub = first.findall(f"{W}tc")
    assert (texts(head), prop(head, "gridSpan")) == ("Head", "4")
    assert (texts(sub), prop(sub, "gridSpan")) == ("Sub", "8")
    assert not any((tc.tail or "").strip() for tc in first)
    assert [texts(tc) for tc in second.findall(f"{W}tc")] == cols
