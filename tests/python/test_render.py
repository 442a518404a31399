"""pre_render and post_render through each implementation: None for an unchanged
text, a new str otherwise, and the documented transformations."""

from types import ModuleType

import pytest

PRESERVE = '<w:t xml:space="preserve">'


@pytest.mark.parametrize(
    "src,expected",
    [
        (
            "<w:body><w:p><w:r><w:t>a</w:t></w:r></w:p></w:body>",
            "<w:body>\n<w:p><w:r><w:t>a</w:t></w:r></w:p></w:body>",
        ),
        ('<w:p w:rsidR="00A1"><w:pPr/></w:p>', '\n<w:p w:rsidR="00A1"><w:pPr/></w:p>'),
        ("<w:p />", "\n<w:p />"),
        ("\n<w:p>", "\n\n<w:p>"),
        ("<w:p><w:p>", "\n<w:p>\n<w:p>"),
        ("<w:p/>", None),
        ("<w:pict/><w:proofErr/><w:pPr><w:p", None),
        ("", None),
    ],
)
def test_pre_render(impl: ModuleType, src: str, expected: str | None) -> None:
    assert impl.pre_render(src) == expected
    assert impl.pre_render(src=src) == expected


@pytest.mark.parametrize(
    "dst,expected",
    [
        (
            "<w:body>\n<w:p><w:r><w:t>x</w:t></w:r></w:p></w:body>",
            "<w:body><w:p><w:r><w:t>x</w:t></w:r></w:p></w:body>",
        ),
        ("\n\n<w:p>", "\n<w:p>"),
        ("{_{ name }_}", "{{ name }}"),
        ("{_% if x %_}", "{% if x %}"),
        ("{_{_{", "{{_{"),
        ("%_}_}", "%}}"),
        (
            "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>A\tB</w:t></w:r></w:p>",
            "<w:p><w:r><w:rPr><w:b/></w:rPr><w:t>A</w:t></w:r><w:r><w:rPr><w:b/></w:rPr>"
            f"<w:tab/></w:r><w:r><w:rPr><w:b/></w:rPr>{PRESERVE}B</w:t></w:r></w:p>",
        ),
        (
            "<w:p><w:r><w:t>A\nB</w:t></w:r></w:p>",
            f"<w:p><w:r><w:t>A</w:t><w:br/>{PRESERVE}B</w:t></w:r></w:p>",
        ),
        (
            '<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:t>A\aB</w:t></w:r></w:p>',
            '<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:t>A</w:t></w:r></w:p><w:p>'
            f'<w:pPr><w:jc w:val="center"/></w:pPr><w:r>{PRESERVE}B</w:t></w:r></w:p>',
        ),
        (
            "<w:p><w:r><w:t>A\fB</w:t></w:r></w:p>",
            '<w:p><w:r><w:t>A</w:t></w:r></w:p><w:p><w:r><w:br w:type="page"/></w:r></w:p>'
            f"<w:p><w:r>{PRESERVE}B</w:t></w:r></w:p>",
        ),
        # Rendered text keeps its non-ASCII characters around the markup.
        (
            "<w:p><w:r><w:t>é\t€</w:t></w:r></w:p>",
            f"<w:p><w:r><w:t>é</w:t></w:r><w:r><w:tab/></w:r><w:r>{PRESERVE}€</w:t></w:r></w:p>",
        ),
        # Control characters outside text elements and carriage returns stay.
        ('<?xml version="1.0"?>\n<w:document/>', None),
        ("<w:p><w:r><w:t>a\rb</w:t></w:r></w:p>", None),
        ("\n<w:pPr>", None),
        ("", None),
    ],
)
def test_post_render(impl: ModuleType, dst: str, expected: str | None) -> None:
    assert impl.post_render(dst) == expected
    assert impl.post_render(dst=dst) == expected


def test_form_feed_in_paragraph_properties_is_not_repeated(impl: ModuleType) -> None:
    ff, bel = "\f" * 80, "\a" * 80
    result = impl.post_render(f"<w:p><w:pPr>{ff}</w:pPr><w:r><w:t>{bel}{ff}</w:t></w:r></w:p>")
    assert result is not None
    assert len(result.encode()) < 20_000
    assert result.count("<w:pPr>") == 1
    assert result.count('<w:br w:type="page"/>') == 80


@pytest.mark.parametrize(
    "src",
    [
        '<?xml version="1.0"?>\n<w:document><w:body><w:p w:rsidR="1"><w:r><w:t>ä b</w:t>'
        "</w:r></w:p><w:p/><w:p /></w:body></w:document>",
        "a\n<w:p>b",
    ],
)
def test_post_render_undoes_pre_render(impl: ModuleType, src: str) -> None:
    prepared = impl.pre_render(src)
    assert prepared is not None
    restored = impl.post_render(prepared)
    assert restored == src
    assert restored is not src
