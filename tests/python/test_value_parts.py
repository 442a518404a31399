"""The layers under rich values one at a time: tag positions, text from data, errors,
JSON forms, and pictures already in a template."""

from __future__ import annotations

import io
from pathlib import Path
from typing import Any

import docx
import jinja2
import pytest
from docx.enum.style import WD_STYLE_TYPE
from helpers_docx import W, members, read, to_bytes
from lxml import etree
from markupsafe import Markup

pytest.importorskip("PIL")
pytest.importorskip("markdown_it")
from PIL import Image  # noqa: E402
from rich_helpers import render_rich, story_parts  # noqa: E402
from test_values import SVG, png  # noqa: E402

from tesserine._json_values import JsonValueError, rich_values  # noqa: E402
from tesserine._picture_lookup import PictureNotFoundError, picture_members, replacement_bytes  # noqa: E402
from tesserine._positions import mark_positions  # noqa: E402
from tesserine._resources import rels_member  # noqa: E402
from tesserine.values import Link, LinkError, Markdown, Picture, PictureError, RichValueError, Styled  # noqa: E402
from tesserine.values.filters import FILTERS  # noqa: E402
from tesserine.values.text import ValueTextError, clean_text, xml_text  # noqa: E402

P, R, T = "<w:p>", "<w:r>", '<w:t xml:space="preserve">'


@pytest.mark.parametrize("source, expected", [
    (f"{P}{R}{T}a {{{{ x }}}} b</w:t></w:r></w:p>", f"{P}{R}{T}a {{{{ x }}}} b</w:t></w:r></w:p>"),
    (f"{P}{R}{T}a</w:t></w:r>{{{{ x }}}}</w:p>", f"{P}{R}{T}a</w:t></w:r>{{{{( x )|tesserine_run }}}}</w:p>"),
    (f"<w:body>{{{{- x.y -}}}}  {P}</w:p>", f"<w:body>{{{{-( x.y )|tesserine_paragraph -}}}}  {P}</w:p>"),
    (f"<w:tc><w:tcPr><w:shd w:fill=\"{{{{ c }}}}\"/></w:tcPr>{P}</w:p>",
     f"<w:tc><w:tcPr><w:shd w:fill=\"{{{{ c }}}}\"/></w:tcPr>{P}</w:p>"),
    (f"{P}{R}<w:instrText>{{{{ x }}}}</w:instrText></w:r></w:p>", f"{P}{R}<w:instrText>{{{{ x }}}}</w:instrText></w:r></w:p>"),
    (f"{P}<w:tab/>{{{{ x }}}}</w:p>", f"{P}<w:tab/>{{{{( x )|tesserine_run }}}}</w:p>"),
    (f"{P}{R}<w:t/>{{{{ x }}}}</w:r></w:p>", f"{P}{R}<w:t/>{{{{ x }}}}</w:r></w:p>"),
    (f"{P}{{% if a %}}{{{{ '}}}}' }}}}{{% endif %}}</w:p>", f"{P}{{% if a %}}{{{{( '}}}}' )|tesserine_run }}}}{{% endif %}}</w:p>"),
    ("<w:body>{% raw %}{{ x }}{% endraw %}</w:body>", "<w:body>{% raw %}{{ x }}{% endraw %}</w:body>"),
    ("<w:body>{{ x </w:body>", "<w:body>{{ x </w:body>"),
])
def test_mark_positions(source: str, expected: str) -> None:
    assert mark_positions(source) == expected


def render_filter(position: str, value: Any, autoescape: bool = True) -> str:
    env = jinja2.Environment(autoescape=autoescape)
    env.filters.update(FILTERS)
    return env.from_string(f"{{{{ v|tesserine_{position} }}}}").render(v=value)


@pytest.mark.parametrize("position, value, autoescape, expected", [
    ("run", "a<b", True, f"{R}{T}a&lt;b</w:t></w:r>"),
    ("paragraph", 7, True, f"{P}{R}{T}7</w:t></w:r></w:p>"),
    ("paragraph", "", True, f"{P}</w:p>"),
    ("run", "", True, ""),
    ("run", Markup("<w:r/>"), True, "<w:r/>"),
    ("paragraph", "<w:p/>", False, "<w:p/>"),
])
def test_plain_values_in_element_positions(position: str, value: Any, autoescape: bool, expected: str) -> None:
    assert render_filter(position, value, autoescape) == expected


@pytest.mark.parametrize("given, expected", [
    ("a\vb", "a\nb"), ("a\r\nb\rc", "a\nb\nc"), ("tab\tbel\x07ff\x0c", "tab\tbel\x07ff\x0c"), ("\U0001f600", "\U0001f600"),
])
def test_clean_text(given: str, expected: str) -> None:
    assert clean_text(given, "v") == expected


@pytest.mark.parametrize("given", ["x" * 30 + "\x01" + "y" * 30, "lone \udc80 surrogate", "\ufffe"])
def test_characters_no_document_can_hold_are_shown(given: str) -> None:
    with pytest.raises(ValueTextError) as caught:
        clean_text(given, "v")
    bad = next(c for c in given if c in "\x01\udc80\ufffe")
    assert ascii(bad) in str(caught.value) and f"position {given.index(bad)}" in str(caught.value)


@pytest.mark.parametrize("given", ["{_{ x }_}", "{_% y %_}", "%_}_}", "a_b {_"])
def test_values_come_out_exactly_as_given(given: str) -> None:
    document = docx.Document()
    document.add_paragraph("inline {{ v }}")
    document.add_paragraph("{{p v }}")
    document.add_paragraph("{{ s }}")
    result = read(render_rich(to_bytes(document), {"v": given, "s": Styled(given, bold=True)}))
    assert [p.text for p in result.paragraphs] == [f"inline {given}", given, given]


def test_rich_values_placed_when_nothing_is_escaped() -> None:
    document = _paragraph("<{{ v }}> {{ raw }}")
    result = read(render_rich(to_bytes(document), {"v": Styled("x", bold=True), "raw": "&#65;"}, autoescape=False))
    assert result.paragraphs[0].text == "<x> A" and result.paragraphs[0].runs[1].bold


def test_styled_breaks_and_concatenation() -> None:
    document = docx.Document()
    document.add_paragraph("A {{ v }} Z")
    value = "x" + Styled("b\tc\nd\ae\ff", italic=True) + Styled("!", strike=True)
    result = read(render_rich(to_bytes(document), {"v": value}))
    assert [p.text for p in result.paragraphs] == ["A xb\tc\nd", "e", "", "f! Z"]
    assert result.paragraphs[2]._p.xpath("count(.//w:br[@w:type='page'])") == 1
    assert [(run.text, run.italic, run.font.strike) for run in result.paragraphs[3].runs] == [
        ("f", True, None), ("!", None, True), (" Z", None, None)]


def test_document_styles_for_links_and_styled_text() -> None:
    document = docx.Document()
    document.styles.add_style("Hyperlink", WD_STYLE_TYPE.CHARACTER)
    document.styles.add_style("Shout", WD_STYLE_TYPE.CHARACTER)
    document.add_paragraph("{{ link }} {{ loud }}")
    files = members(render_rich(to_bytes(document), {"link": Link("https://a.example"), "loud": Styled("hey", style="Shout")}))
    body = etree.fromstring(files["word/document.xml"])
    assert [e.get(W + "val") for e in body.iter(W + "rStyle")] == ["Hyperlink", "Shout"]
    assert not list(body.iter(W + "color"))
    with pytest.raises(RichValueError, match="no character style of that name.*Shout"):
        render_rich(to_bytes(document), {"link": "", "loud": Styled("x", style="Whisper")})


def bad_svg(inner: str) -> bytes:
    return f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink">{inner}</svg>'.encode()


@pytest.mark.parametrize("make, error, message", [
    (lambda: Picture(b"not a picture"), PictureError, "not a picture"),
    (lambda: Picture(png(4, 4)[:40]), PictureError, "damaged|not a picture"),
    (lambda: Picture("/no/such/file.png"), PictureError, "cannot read the file"),
    (lambda: Picture(png(4, 4), width="4"), PictureError, "unit"),
    (lambda: Picture(png(4, 4), width="-1cm"), PictureError, "unit"),
    (lambda: Picture(png(4, 4), height=0), PictureError, "above zero"),
    (lambda: Picture(png(4, 4), width=1.5), PictureError, "length"),
    (lambda: Picture(bad_svg('<image xlink:href="file:///etc/passwd"/>')), PictureError, "embed it"),
    (lambda: Picture(b'<?xml version="1.0"?><!DOCTYPE svg [<!ENTITY a "b">]><svg>&a;</svg>'), PictureError, "entity"),
    (lambda: Link("javascript:alert(1)"), LinkError, "only absolute"),
    (lambda: Link("file:///etc/passwd"), LinkError, "only absolute"),
    (lambda: Link("/relative/path"), LinkError, "only absolute"),
    (lambda: Link("https://a.example/\nx"), LinkError, "only absolute"),
    (lambda: Styled("x", color="reddish"), RichValueError, "hex digits"),
    (lambda: Styled("x", size=0), RichValueError, "font size"),
    (lambda: Styled("x", underline="zigzag"), RichValueError, "underline"),
    (lambda: Styled("x", superscript=True, subscript=True), RichValueError, "both"),
    (lambda: Styled("bell\x01"), ValueTextError, "position 4"),
    (lambda: Markup("{}").format(Styled("x")), RichValueError, "only be placed by a tesserine render"),
])
def test_bad_values_are_clear_errors(make: Any, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        make()


def test_rich_value_in_an_attribute_is_refused() -> None:
    document = docx.Document()
    document.add_table(rows=1, cols=1).cell(0, 0).text = "{% cellbg colour %}x"
    with pytest.raises(RichValueError, match="Styled value stands inside markup"):
        render_rich(to_bytes(document), {"colour": Styled("FF0000")})


def test_svg_gets_a_png_fallback_beside_it() -> None:
    pytest.importorskip("resvg_py")
    files = members(render_rich(to_bytes(_paragraph("{{p v }}")), {"v": Picture(SVG, width="6cm")}))
    fallback = next(data for name, data in files.items() if name.endswith(".png") and "tesserine" in name)
    with Image.open(io.BytesIO(fallback)) as image:
        assert image.size[0] == 2 * round(6 / 2.54 * 96) and image.size[0] == 2 * image.size[1]


def _paragraph(text: str) -> docx.document.Document:
    document = docx.Document()
    document.add_paragraph(text)
    return document


@pytest.mark.parametrize("data, expected", [
    ({"a": {"@styled": "x", "bold": True}}, {"a": Styled("x", bold=True)}),
    ({"a": [{"@link": "https://e.example", "text": "e"}]}, {"a": [Link("https://e.example", "e")]}),
    ({"a": {"@styled": ["p ", {"@styled": "q", "color": "00f"}], "color": "f00"}},
     {"a": Styled("p ", color="f00") + Styled("q", color="00f")}),
    ({"a": {"@markdown": "*m*"}}, {"a": Markdown("*m*")}),
    ({"@id": 1, "a": {"@type": "x"}}, {"@id": 1, "a": {"@type": "x"}}),
])
def test_json_forms(data: Any, expected: Any) -> None:
    assert rich_values(data, None) == expected


@pytest.mark.parametrize("data, message", [
    ({"a": {"@picture": "../outside.png"}}, r"^a: picture path '\.\./outside\.png' leads outside"),
    ({"a": {"@picture": "/etc/hostname"}}, "must be relative"),
    ({"a": [{"@picture": "missing.png"}]}, r"^a\[0\]: Picture.*cannot read"),
    ({"a": {"@picture": "data:image/png;base64,@@@"}}, "damaged"),
    ({"a": {"@styled": "x", "bolt": True}}, "no option 'bolt'"),
    ({"a": {"@styled": "x", "@link": "https://e.example"}}, "not @styled and @link"),
    ({"a": {"@link": "ftp://e.example"}}, "only absolute"),
    ({"a": {"@markdown": 3}}, "takes a string"),
])
def test_json_form_errors(data: Any, message: str, tmp_path: Path) -> None:
    with pytest.raises(JsonValueError, match=message):
        rich_values(data, tmp_path)


def test_json_pictures_by_path_and_data_uri(tmp_path: Path) -> None:
    (tmp_path / "pics").mkdir()
    (tmp_path / "pics" / "logo.png").write_bytes(png(40, 20))
    import base64

    uri = "data:image/png;base64," + base64.b64encode(png(10, 10)).decode()
    values = rich_values({"p": {"@picture": "pics/logo.png", "width": "2cm", "alt": "Logo"}, "q": {"@picture": uri}}, tmp_path)
    assert (values["p"].size, values["p"].alt, values["q"].size) == ((720000, 360000), "Logo", (95250, 95250))


def test_template_pictures_found_by_name_or_alt_text() -> None:
    files = members(render_rich(to_bytes(_paragraph("{{ a }} {{ b }}")), {"a": Picture(png(8, 8), alt="Logo"),
                                                                         "b": Picture(SVG, alt="Chart")}))
    parts = story_parts(list(files))

    def found(name: str) -> list[str]:
        return picture_members(name, parts, files.get)

    assert len(found("Logo")) == 1 and found("Logo") == found("Picture 1")
    assert sorted(name.rsplit(".", 1)[1] for name in found("Chart")) == ["png", "svg"]
    with pytest.raises(PictureNotFoundError, match="'Chart', 'Logo', 'Picture 1', 'Picture 2'"):
        found("Signature")
    assert rels_member("word/header1.xml") == "word/_rels/header1.xml.rels"


@pytest.mark.parametrize("member, source, kind", [
    ("word/media/a.png", png(5, 5), "PNG"),
    ("word/media/a.jpeg", png(5, 5), "JPEG"),
    ("word/media/a.gif", png(5, 5), "GIF"),
    ("word/media/a.png", SVG, "PNG"),
])
def test_replacement_bytes_match_the_members_format(member: str, source: bytes, kind: str) -> None:
    if source is SVG:
        pytest.importorskip("resvg_py")
    with Image.open(io.BytesIO(replacement_bytes(member, Picture(source)))) as image:
        assert image.format == kind


def test_raster_replacing_an_svg_is_wrapped_in_svg() -> None:
    data = replacement_bytes("word/media/a.svg", Picture(png(6, 3)))
    root = etree.fromstring(data)
    assert (root.get("width"), root.get("height")) == ("6", "3")
    assert root[0].get("href", "").startswith("data:image/png;base64,")


def test_xml_text_protects_delimiters_only() -> None:
    assert xml_text("a_b {_{ x }_} <") == "a_b {&#95;{ x }&#95;} &lt;"


@pytest.mark.parametrize("kind, extension", [("JPEG", "jpeg"), ("GIF", "gif"), ("BMP", "bmp"), ("TIFF", "tiff")])
def test_picture_formats_are_stored_as_they_are(kind: str, extension: str) -> None:
    out = io.BytesIO()
    Image.new("RGB", (30, 20), (10, 120, 200)).save(out, format=kind)
    files = members(render_rich(to_bytes(_paragraph("{{p v }}")), {"v": Picture(out.getvalue())}))
    stored = [name for name in files if name.startswith("word/media/tesserine-")]
    assert [name.rsplit(".", 1)[1] for name in stored] == [extension] and files[stored[0]] == out.getvalue()
