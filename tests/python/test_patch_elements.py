"""Tags that name their element («{%tr …%}», «{{p …}}», «{#tc …#}», …) replace
that whole row, cell, paragraph or run in the patched template source."""

from types import ModuleType

import pytest

PRESERVE = '<w:t xml:space="preserve">'


def row(text: str, start: str = "<w:tr>") -> str:
    return f"{start}<w:tc><w:p><w:r><w:t>{text}</w:t></w:r></w:p></w:tc></w:tr>"


def test_row_loop_example(impl: ModuleType) -> None:
    src = (
        "<w:tbl>"
        + row("{%tr for r in rows %}")
        + row("{{ r }}")
        + row("{%tr endfor %}", '<w:tr w:rsidR="1">')
        + "</w:tbl>"
    )
    middle = row("{{ r }}").replace("<w:t>", PRESERVE)
    assert impl.patch_xml(src) == f"<w:tbl>{{% for r in rows %}}{middle}{{% endfor %}}</w:tbl>"


def test_row_tag_split_over_runs_is_joined_and_moved_onto_row(impl: ModuleType) -> None:
    bold = "<w:rPr><w:b/></w:rPr>"
    first_row = (
        '<w:tr w:rsidR="00A1"><w:trPr><w:trHeight w:val="300"/></w:trPr>'
        '<w:tc><w:tcPr><w:tcW w:w="100"/></w:tcPr><w:p><w:pPr><w:jc w:val="left"/></w:pPr>'
        f"<w:r>{bold}<w:t>{{</w:t></w:r>"
        '<w:proofErr w:type="spellStart"/>'
        f"<w:r>{bold}<w:t>%tr for</w:t></w:r>"
        '<w:bookmarkStart w:id="0" w:name="loop"/>'
        f"<w:r>{bold}{PRESERVE} r in </w:t></w:r>"
        '<w:bookmarkEnd w:id="0"/>'
        "<w:r><w:t>rows %</w:t></w:r>"
        '<w:proofErr w:type="spellEnd"/>'
        "<w:r><w:t>}</w:t></w:r>"
        "</w:p></w:tc></w:tr>"
    )
    body = row("{{ r }}").replace("<w:t>", PRESERVE)
    src = "<w:tbl>" + first_row + body + row("{%tr endfor %}") + "</w:tbl>"
    assert impl.patch_xml(src) == "<w:tbl>{% for r in rows %}" + body + "{% endfor %}</w:tbl>"


def test_nested_tables_take_the_nearest_elements(impl: ModuleType) -> None:
    def para(text: str) -> str:
        return f"<w:p><w:r>{PRESERVE}{text}</w:t></w:r></w:p>"

    def cell_row(*paras: str) -> str:
        return "<w:tr><w:tc>" + "".join(paras) + "</w:tc></w:tr>"

    inner = (
        "<w:tbl>"
        + cell_row(para("{%tr for x in xs %}"))
        + cell_row(para("{%p if x %}"), para("X"), para("{%p endif %}"))
        + cell_row(para("{%tr endfor %}"))
        + "</w:tbl>"
    )
    src = f"<w:tbl><w:tr><w:tc>{inner}</w:tc></w:tr></w:tbl>"
    expected_inner = (
        "<w:tbl>{% for x in xs %}<w:tr><w:tc>{% if x %}"
        + para("X")
        + "{% endif %}</w:tc></w:tr>{% endfor %}</w:tbl>"
    )
    assert impl.patch_xml(src) == f"<w:tbl><w:tr><w:tc>{expected_inner}</w:tc></w:tr></w:tbl>"


@pytest.mark.parametrize(
    ("src", "expected"),
    [
        (
            f"<w:p><w:r>{PRESERVE}{{#p draft #}}</w:t></w:r></w:p>",
            "{# draft #}",
        ),
        (
            f"<w:tc><w:tcPr/><w:p><w:r>{PRESERVE}{{#tc note #}}</w:t></w:r></w:p></w:tc>",
            "{# note #}",
        ),
        (
            f"<w:p><w:r><w:rPr><w:b/></w:rPr>{PRESERVE}{{{{r name }}}}</w:t></w:r></w:p>",
            # The run tag first gets a run of its own; that run is what goes.
            f"<w:p><w:r><w:rPr><w:b/></w:rPr>{PRESERVE}</w:t></w:r>"
            f"{{{{ name }}}}<w:r>{PRESERVE}</w:t></w:r></w:p>",
        ),
        (
            f"<w:tc><w:p><w:r>{PRESERVE}{{%tc if a %}}</w:t></w:r></w:p></w:tc>",
            "{% if a %}",
        ),
    ],
    ids=["paragraph-comment", "cell-comment", "run", "cell"],
)
def test_each_element_kind(impl: ModuleType, src: str, expected: str) -> None:
    assert impl.patch_xml(src) == expected


@pytest.mark.parametrize(
    "src",
    [
        f"<w:tbl><w:tr><w:tc><w:p><w:r>{PRESERVE}{{%tr for r in rows %}}</w:t></w:r></w:p></w:tc>",
        f"<w:p><w:r>{PRESERVE}{{{{p x }}}}</w:t></w:r>",
        f"<w:body>{PRESERVE}{{#p note #}}</w:t></w:body>",
    ],
    ids=["row-without-closing", "paragraph-without-closing", "no-element-start"],
)
def test_left_unchanged(impl: ModuleType, src: str) -> None:
    assert impl.patch_xml(src) == src
