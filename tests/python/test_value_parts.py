"""Rich values layer by layer, through Scrivelle: tag positions, text exactly as given,
errors with their places, limits, pictures already in a template and their replacement."""

from __future__ import annotations

import dataclasses
import io
from collections.abc import Callable
from pathlib import Path
from typing import Any

import docx
import jinja2
import pytest
from docx.enum.style import WD_STYLE_TYPE
from docx.enum.text import WD_ALIGN_PARAGRAPH
from docx.oxml import parse_xml
from helpers_docx import W, members, read, split_runs, to_bytes, zip_with
from lxml import etree
from markupsafe import Markup
from PIL import Image
from test_values import SVG, WP, check_package, office, pictures_listed, png, render

import tesserine
from tesserine import Link, LinkError, Markdown, Picture, PictureError, RichValueError, Styled, ValueTextError
from tesserine._picture_lookup import replacement_bytes
from tesserine._positions import mark_positions

__all__ = ["office"]
P, R, T = "<w:p>", "<w:r>", '<w:t xml:space="preserve">'
BOLD = "<w:rPr><w:b/></w:rPr>"


@pytest.mark.parametrize("source, expected", [
    (f"{P}{R}{T}a {{{{ x }}}} b</w:t></w:r></w:p>", f"{P}{R}{T}a {{{{ x }}}} b</w:t></w:r></w:p>"),
    (f"{P}{R}{T}a</w:t></w:r>{{{{ x }}}}</w:p>", f"{P}{R}{T}a</w:t></w:r>{{{{( x )|tesserine_run }}}}</w:p>"),
    (f"<w:body>{{{{- x.y -}}}}  {P}</w:p>", f"<w:body>{{{{-( x.y )|tesserine_paragraph -}}}}  {P}</w:p>"),
    (f"<w:tc><w:tcPr><w:shd w:fill=\"{{{{ c }}}}\"/></w:tcPr>{P}</w:p>",
     f"<w:tc><w:tcPr><w:shd w:fill=\"{{{{ c }}}}\"/></w:tcPr>{P}</w:p>"),
    (f"{P}{R}<w:instrText>{{{{ x }}}}</w:instrText></w:r></w:p>",
     f"{P}{R}<w:instrText>{{{{ x }}}}</w:instrText></w:r></w:p>"),
    (f"{P}<w:tab/>{{{{ x }}}}</w:p>", f"{P}<w:tab/>{{{{( x )|tesserine_run }}}}</w:p>"),
    (f"{P}{R}<w:t/>{{{{ x }}}}</w:r></w:p>", f"{P}{R}<w:t/>{{{{ x }}}}</w:r></w:p>"),
    (f"{P}{{% if a %}}{{{{ '}}}}' }}}}{{% endif %}}</w:p>",
     f"{P}{{% if a %}}{{{{( '}}}}' )|tesserine_run }}}}{{% endif %}}</w:p>"),
    ("<w:body>{% raw %}{{ x }}{% endraw %}</w:body>", "<w:body>{% raw %}{{ x }}{% endraw %}</w:body>"),
    ("<w:body>{{ x </w:body>", "<w:body>{{ x </w:body>"),
    # A run tag takes the properties of the run it was typed in, which patching cut at the tag.
    (f"{P}<w:r>{BOLD}{T}a</w:t></w:r>{{{{ x }}}}</w:p>",
     f"{P}<w:r>{BOLD}{T}a</w:t></w:r>{{{{( x )|tesserine_run('{BOLD}') }}}}</w:p>"),
    (f"{P}<w:r>{BOLD}{T}</w:t></w:r>{{{{ x }}}}{R}{T}</w:t></w:r>{{{{ y }}}}</w:p>",
     f"{P}<w:r>{BOLD}{T}</w:t></w:r>{{{{( x )|tesserine_run('{BOLD}') }}}}{R}{T}</w:t></w:r>"
     f"{{{{( y )|tesserine_run('{BOLD}') }}}}</w:p>"),
    (f"{P}<w:r>{BOLD}<w:t>a</w:t></w:r>{R}{T}</w:t></w:r>{{{{ x }}}}</w:p>",
     f"{P}<w:r>{BOLD}<w:t>a</w:t></w:r>{R}{T}</w:t></w:r>{{{{( x )|tesserine_run }}}}</w:p>"),
    (f"{P}<w:r><w:rPr><w:rFonts w:ascii=\"it's\"/></w:rPr><w:t>a</w:t></w:r>{{{{ x }}}}</w:p>",
     f"{P}<w:r><w:rPr><w:rFonts w:ascii=\"it's\"/></w:rPr><w:t>a</w:t></w:r>"
     f"{{{{( x )|tesserine_run('<w:rPr><w:rFonts w:ascii=\"it\\'s\"/></w:rPr>') }}}}</w:p>"),
])
def test_mark_positions(source: str, expected: str) -> None:
    assert mark_positions(source) == expected


def document_of(*texts: str, run_bold: bool = False) -> bytes:
    document = docx.Document()
    for text in texts:
        document.add_paragraph().add_run(text).bold = run_bold
    return to_bytes(document)


# Plain values and rich values where a run tag or a paragraph tag stands: each in a run
# of its own, in a paragraph of its own for a paragraph tag; a run tag keeps its run's bold.
@pytest.mark.parametrize("tag, value, texts, bold", [
    ("{{r v }}", "a<b", ["a<b"], [True]),
    ("{{r v }}", 7, ["7"], [True]),
    ("{{r v }}", "", [""], []),
    ("{{r v }}", Styled("s", italic=True), ["s"], [True]),
    ("{{p v }}", "a<b", ["a<b"], [None]),
    ("{{p v }}", 7, ["7"], [None]),
    ("{{p v }}", "", [""], []),
    ("{{p v }}", Link("https://a.example", "x"), ["x"], [None]),
])
def test_values_in_run_and_paragraph_positions(tag: str, value: Any, texts: list[str], bold: list[Any]) -> None:
    result = read(render(document_of(tag, run_bold=True), {"v": value}))
    body = result.element.body
    assert [p.text for p in result.paragraphs] == texts
    runs = [run for run in body.iter(W + "r") if run.xpath("string(.)")]
    assert [bool(run.xpath("./w:rPr/w:b")) or None for run in runs] == bold
    # Nothing stands outside a run or a paragraph, where readers drop it.
    assert all(child.tag in (W + "p", W + "sectPr") for child in body)


def centred_template(*pieces: str) -> bytes:
    """A centred paragraph in "Quote" style holding the pieces as runs, between two plain ones."""
    document = docx.Document()
    document.add_paragraph("before")
    paragraph = document.add_paragraph(style="Quote")
    paragraph.alignment = WD_ALIGN_PARAGRAPH.CENTER
    split_runs(paragraph, *pieces)
    document.add_paragraph("after")
    return to_bytes(document)


# A paragraph tag's paragraph keeps the properties of the paragraph it was typed in, however
# its tag is split across runs; Markdown writes paragraphs of its own and takes none of them.
@pytest.mark.parametrize("pieces", [("{{p v }}",), ("{", "{p", " v }", "}")])
@pytest.mark.parametrize("value, texts, keeps", [
    ("plain", ["plain"], True),
    ("two\alines", ["two", "lines"], True),
    (Picture(png(20, 10)), [""], True),
    (Link("https://a.example/", "link"), ["link"], True),
    (Markdown("one\n\ntwo"), ["one", "two"], False),
])
def test_paragraph_tags_keep_their_paragraphs_properties(pieces: tuple[str, ...], value: Any, texts: list[str],
                                                           keeps: bool) -> None:
    result = read(render(centred_template(*pieces), {"v": value}))
    placed = result.paragraphs[1:-1]
    assert [paragraph.text for paragraph in placed] == texts
    assert [paragraph.text for paragraph in (result.paragraphs[0], result.paragraphs[-1])] == ["before", "after"]
    for paragraph in placed:
        assert (paragraph.alignment == WD_ALIGN_PARAGRAPH.CENTER) is keeps
        assert (paragraph.style.name == "Quote") is keeps
    assert len(result.inline_shapes) == isinstance(value, Picture)


JC = '<w:jc w:val="left"/>'
CHANGED = f'<w:pPr>{JC}<w:pPrChange w:id="1"><w:pPr><w:jc w:val="right"/></w:pPr></w:pPrChange></w:pPr>'


# The properties a paragraph tag takes: a tracked change's inner properties whole, line
# ends flattened (the source keeps its lines), none holding template text, no comment left
# behind where patching dropped the paragraph with its row.
@pytest.mark.parametrize("xml, prepared", [
    (f"<w:body>{P}{CHANGED}{R}<w:t>{{{{p x }}}}</w:t></w:r></w:p></w:body>",
     f"<w:body>{{{{( x )|tesserine_paragraph('{CHANGED}') }}}}</w:body>"),
    (f"<w:body>{P}<w:pPr>\r\n{JC}\n</w:pPr>{R}<w:t>{{{{p x }}}}</w:t></w:r></w:p>\n<w:p/></w:body>",
     f"<w:body>{{{{( x )|tesserine_paragraph('<w:pPr>  {JC} </w:pPr>') }}}}\n<w:p/></w:body>"),
    (f'<w:body>{P}<w:pPr><w:pStyle w:val="{{{{ s }}}}"/></w:pPr>{R}<w:t>{{{{p x }}}}</w:t></w:r></w:p></w:body>',
     "<w:body>{{( x )|tesserine_paragraph }}</w:body>"),
    (f"<w:tbl><w:tr><w:tc>{P}<w:pPr>{JC}</w:pPr>{R}<w:t>{{%tr for a in b %}}{{{{p x }}}}</w:t></w:r></w:p>"
     "</w:tc></w:tr></w:tbl>", "<w:tbl>{% for a in b %}</w:tbl>"),
])
def test_paragraph_properties_in_the_prepared_source(xml: str, prepared: str) -> None:
    assert tesserine.Scrivelle._prepare(xml) == prepared


def test_paragraph_tags_in_a_loop_keep_their_paragraphs_properties() -> None:
    document = docx.Document()
    document.add_paragraph("{%p for v in items %}")
    paragraph = document.add_paragraph("{{p v }}")
    paragraph.alignment = WD_ALIGN_PARAGRAPH.RIGHT
    paragraph.paragraph_format.space_before = docx.shared.Pt(7)
    document.add_paragraph("{%p endfor %}")
    result = read(render(to_bytes(document), {"items": ["a", Styled("b", italic=True)]}))
    assert [paragraph.text for paragraph in result.paragraphs] == ["a", "b"]
    assert [paragraph.alignment for paragraph in result.paragraphs] == [WD_ALIGN_PARAGRAPH.RIGHT] * 2
    assert [paragraph.paragraph_format.space_before for paragraph in result.paragraphs] == [docx.shared.Pt(7)] * 2


EXACT = ["{_{ x }_}", "{_% y %_}", "%_}_}", "a_b {_", "<w:t>&amp;"]


@pytest.mark.parametrize("given", EXACT)
def test_values_come_out_exactly_as_given(given: str) -> None:
    data = render(document_of("inline {{ v }}", "{{p v }}", "{{r v }}", "{{ s }}"),
                  {"v": given, "s": Styled(given, bold=True)})
    assert [p.text for p in read(data).paragraphs] == [f"inline {given}", given, given, given]


@pytest.mark.parametrize("tag", ["a {{ v }} z", "{{r v }}", "{{p v }}", "{{ s }}"])
def test_line_ends_in_values_become_line_breaks(tag: str) -> None:
    given = "one\vtwo\r\nthree\rfour"
    data = render(document_of(tag), {"v": given, "s": Styled(given)})
    body = etree.fromstring(members(data)["word/document.xml"])
    assert body.xpath("count(//w:br)", namespaces={"w": W[1:-1]}) == 3
    assert "\r" not in read(data).paragraphs[0].text


@pytest.mark.parametrize("tag, value", [
    ("a {{ v }} z", "ab\x01cd"), ("{{r v }}", "ab\x01cd"), ("{{p v }}", "ab\x01cd"), ("{{ v ~ 'x' }}", "ab\x01cd"),
])
def test_characters_xml_cannot_hold_name_the_tag(tag: str, value: Any) -> None:
    with pytest.raises(tesserine.InvalidCharacterError) as caught:
        render(document_of("first", tag), {"v": value})
    error = caught.value
    assert (error.part, error.paragraph, error.tag) == ("word/document.xml", 2, tag[tag.index("{"):tag.index("}") + 2])
    assert "holds \\x01 at character" in error.message and "\\x01cd" in error.message


def test_rich_values_placed_when_nothing_is_escaped() -> None:
    data = render(document_of("<{{ v }}> {{ raw }}"), {"v": Styled("x", bold=True), "raw": "&#65;"}, autoescape=False)
    paragraph = read(data).paragraphs[0]
    assert paragraph.text == "<x> A" and paragraph.runs[1].bold


def test_a_callers_environment_gets_the_filters_and_keeps_its_finalize() -> None:
    environment = jinja2.Environment(finalize=lambda value: "-" if value is None else value)
    environment.filters["shout"] = lambda value: str(value).upper()
    scrivelle = tesserine.Scrivelle(document_of("{{ a|shout }} {{ b }} {{ c }}", "{{r d }}", "{{p e }}"))
    scrivelle.render({"a": "x", "b": None, "c": Styled("{_{", italic=True), "d": "r", "e": Picture(png(4, 4))},
                     environment=environment)
    out = io.BytesIO()
    scrivelle.save(out)
    result = read(out.getvalue())
    assert [p.text for p in result.paragraphs] == ["X - {_{", "r", ""] and len(result.inline_shapes) == 1


def test_styled_breaks_and_concatenation() -> None:
    value = "x" + Styled("b\tc\nd\ae\ff", italic=True) + Styled("!", strike=True)
    result = read(render(document_of("A {{ v }} Z"), {"v": value}))
    assert [p.text for p in result.paragraphs] == ["A xb\tc\nd", "e", "", "f! Z"]
    assert result.paragraphs[2]._p.xpath("count(.//w:br[@w:type='page'])") == 1
    assert [(run.text, run.italic, run.font.strike) for run in result.paragraphs[3].runs] == [
        ("f", True, None), ("!", None, True), (" Z", None, None)]


def test_document_styles_for_links_and_styled_text() -> None:
    document = docx.Document()
    document.styles.add_style("Hyperlink", WD_STYLE_TYPE.CHARACTER)
    document.styles.add_style("Shout", WD_STYLE_TYPE.CHARACTER)
    document.add_paragraph("{{ link }} {{ loud }}")
    data = render(to_bytes(document), {"link": Link("https://a.example"), "loud": Styled("hey", style="Shout")})
    body = etree.fromstring(members(data)["word/document.xml"])
    assert [e.get(W + "val") for e in body.iter(W + "rStyle")] == ["Hyperlink", "Shout"]
    assert not list(body.iter(W + "color"))
    with pytest.raises(tesserine.TemplateRenderError,
                       match=r"^word/document.xml: paragraph 1 .*no character style.*Shout.*\(in: \{\{ loud \}\}\)"):
        render(to_bytes(document), {"link": "", "loud": Styled("x", style="Whisper")})


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
    (lambda: Picture(b'<!DOCTYPE svg SYSTEM "http://x.example/a.dtd" [ ]><svg/>'), PictureError, "DOCTYPE"),
    (lambda: Link("javascript:alert(1)"), LinkError, "only absolute"),
    (lambda: Link("/relative/path"), LinkError, "only absolute"),
    (lambda: Link("https://a.example/\nx"), LinkError, "only absolute"),
    (lambda: Styled("x", color="reddish"), RichValueError, "hex digits"),
    (lambda: Styled("x", size=0), RichValueError, "font size"),
    (lambda: Styled("x", underline="zigzag"), RichValueError, "underline"),
    (lambda: Styled("x", superscript=True, subscript=True), RichValueError, "both"),
    (lambda: Styled("bell\x01"), ValueTextError, "^Styled text holds \\\\x01 at character 5"),
    (lambda: Markdown("x" * 30 + "\ufffe"), ValueTextError, "^Markdown text holds .* at character 31.*'…x"),
    (lambda: Markup("{}").format(Styled("x")), RichValueError, "only be placed by a tesserine render"),
])
def test_bad_values_are_clear_errors(make: Any, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        make()


SMALL_PICTURES = dataclasses.replace(tesserine.DEFAULT_LIMITS, max_picture_size=500)
BIG = png(300, 300, dpi=72)


def looped_table() -> bytes:
    document = docx.Document()
    document.add_paragraph("intro")
    table = document.add_table(rows=3, cols=1)
    for row, text in enumerate(["{%tr for r in rows %}", "{{ r.name }}: {{ r.pic }}", "{%tr endfor %}"]):
        table.cell(row, 0).text = text
    return to_bytes(document)


def fragment_with_picture() -> tesserine.Fragment:
    document = docx.Document()
    document.add_picture(io.BytesIO(BIG))
    return tesserine.Fragment(to_bytes(document))


def cell_shading() -> bytes:
    document = docx.Document()
    document.add_table(rows=1, cols=1).cell(0, 0).text = "{% cellbg colour %}x"
    return to_bytes(document)


# A value that cannot be placed once rendering is done is told at its tag and paragraph,
# among other tags on its source line (a paragraph tag shares the line of the paragraph
# before it), in a repeated row, in an attribute.
def three_paragraphs() -> bytes:
    return document_of("first", "Logo: {{ logo }} and {{ name }}", "{{p frag }}")


@pytest.mark.parametrize("template, context, paragraph, tag, message", [
    (three_paragraphs, {"logo": Picture(BIG), "name": "n", "frag": ""}, 2, "{{ logo }}", "max_picture_size"),
    (three_paragraphs, {"logo": "", "name": "n", "frag": fragment_with_picture()}, 3, "{{p frag }}",
     r"Fragment\(<bytes>\): the picture"),
    (looped_table, {"rows": [{"name": "a", "pic": Picture(png(2, 2))}, {"name": "b", "pic": Picture(BIG)}]},
     3, "{{ r.pic }}", "max_picture_size"),
    (cell_shading, {"colour": Styled("FF0000")}, 1, "{% cellbg colour %}", "Styled value stands inside markup"),
])
def test_values_that_cannot_be_placed_name_their_tag(template: Any, context: dict[str, Any], paragraph: int,
                                                     tag: str, message: str) -> None:
    with pytest.raises(tesserine.TemplateRenderError, match=f"^word/document.xml: paragraph {paragraph}.*{message}"
                       ) as raised:
        tesserine.Scrivelle(template(), limits=SMALL_PICTURES).render(context)
    assert (raised.value.part, raised.value.paragraph, raised.value.tag) == ("word/document.xml", paragraph, tag)


def test_rich_values_outside_scrivelle_are_a_render_error() -> None:
    with pytest.raises(tesserine.TemplateRenderError, match="^<part>: .*only be placed by a tesserine render"):
        tesserine.render_xml_part("<w:p><w:r><w:t>{{ v }}</w:t></w:r></w:p>", {"v": Styled("x")})


def test_svg_gets_a_png_fallback_beside_it() -> None:
    files = members(render(document_of("{{p v }}"), {"v": Picture(SVG, width="6cm")}))
    fallback = next(data for name, data in files.items() if name.endswith(".png") and "tesserine" in name)
    with Image.open(io.BytesIO(fallback)) as image:
        assert image.size[0] == 2 * round(6 / 2.54 * 96) and image.size[0] == 2 * image.size[1]


@pytest.mark.parametrize("kind, extension", [("JPEG", "jpeg"), ("GIF", "gif"), ("BMP", "bmp"), ("TIFF", "tiff")])
def test_picture_formats_are_stored_as_they_are(kind: str, extension: str) -> None:
    out = io.BytesIO()
    Image.new("RGB", (30, 20), (10, 120, 200)).save(out, format=kind)
    files = members(render(document_of("{{p v }}"), {"v": Picture(out.getvalue())}))
    stored = [name for name in files if name.startswith("word/media/tesserine-")]
    assert [name.rsplit(".", 1)[1] for name in stored] == [extension] and files[stored[0]] == out.getvalue()
    check_package(files)


SMALL_OUTPUT = dataclasses.replace(tesserine.DEFAULT_LIMITS, max_output_size=100_000)


@pytest.mark.parametrize("limits, text, context, error, message", [
    # A marker is short; the drawing it stands for counts against the output.
    (SMALL_OUTPUT, "{% for i in range(100) %}{{ v }}{% endfor %}", {"v": Picture(png(4, 4))}, tesserine.LimitError,
     "^word/document.xml: the rich values of the part would write more than 100,000 characters"),
    (SMALL_OUTPUT, "{{ v }}", {"v": Styled("&" * 30_000)}, tesserine.LimitError, "max_output_size"),
])
def test_rich_values_stay_within_the_limits(limits: tesserine.Limits, text: str, context: dict[str, Any],
                                            error: type[Exception], message: str) -> None:
    scrivelle = tesserine.Scrivelle(document_of(text), limits=limits)
    with pytest.raises(error, match=message):
        scrivelle.render(context)


def test_package_xml_with_a_doctype_is_refused() -> None:
    files = members(document_of("{{ v }}"))
    files["word/styles.xml"] = files["word/styles.xml"].replace(
        b"<w:styles", b'<!DOCTYPE w:styles [<!ENTITY e "x">]><w:styles', 1)
    with pytest.raises(tesserine.TesserineError, match="word/styles.xml.*DOCTYPE"):
        render(zip_with(files), {"v": Styled("x", style="Strong")})


def template_with_picture(where: str = "body", loop: bool = False) -> bytes:
    """A template holding a picture of its own ("Logo", described "Company logo") in the
    body or the header, repeated by a paragraph loop if asked."""
    document = docx.Document()
    if where == "header":
        document.sections[0].header.paragraphs[0].text = "{{p v }}"
    else:
        document.add_paragraph("{{p v }}")
    picture = read(render(to_bytes(document), {"v": Picture(png(40, 20), width="2cm", alt="Company logo")}))
    story = picture.sections[0].header if where == "header" else picture
    holder = next(paragraph._p for paragraph in story.paragraphs if paragraph._p.find(f".//{WP}docPr") is not None)
    holder.find(f".//{WP}docPr").set("name", "Logo")
    if loop:
        holder.addprevious(parse_xml(
            f'<w:p xmlns:w="{W[1:-1]}"><w:r><w:t>{{%p for i in range(3) %}}</w:t></w:r></w:p>'))
        holder.addnext(parse_xml(f'<w:p xmlns:w="{W[1:-1]}"><w:r><w:t>{{%p endfor %}}</w:t></w:r></w:p>'))
    picture.add_paragraph("{{ w }}")
    return to_bytes(picture)


@pytest.mark.parametrize("where", ["body", "header"])
def test_a_template_picture_repeated_by_a_loop_gets_new_drawing_ids(where: str) -> None:
    files = members(render(template_with_picture(where, loop=True), {"w": Picture(png(5, 5))}))
    check_package(files)
    part = "word/header1.xml" if where == "header" else "word/document.xml"
    assert len(etree.fromstring(files[part]).findall(f".//{WP}docPr")) == 3 + (part == "word/document.xml")


@pytest.mark.parametrize("name, before_render", [("Logo", True), ("Company logo", False)])
@pytest.mark.parametrize("where", ["body", "header"])
def test_replace_picture(name: str, before_render: bool, where: str) -> None:
    scrivelle = tesserine.Scrivelle(template_with_picture(where))
    blue = Image.new("RGB", (10, 10), (0, 0, 255))
    source = io.BytesIO()
    blue.save(source, format="JPEG")
    if before_render:
        scrivelle.replace_picture(name, source.getvalue())
    scrivelle.render({"w": "text"})
    if not before_render:
        scrivelle.replace_picture(name, io.BytesIO(source.getvalue()))
    out = io.BytesIO()
    scrivelle.save(out)
    files = members(out.getvalue())
    check_package(files)
    [member] = [name for name in files if name.startswith("word/media/")]
    with Image.open(io.BytesIO(files[member])) as stored:
        # The member keeps its format, so its content type still holds.
        assert (stored.format, stored.size, stored.getpixel((5, 5))[2] > 200) == ("PNG", (10, 10), True)
    part = "word/header1.xml" if where == "header" else "word/document.xml"
    extent = etree.fromstring(files[part]).find(f".//{WP}extent")
    assert extent is not None and (extent.get("cx"), extent.get("cy")) == ("720000", "360000")


LOGO = png(40, 20)


def document_with_logo(*texts: str) -> bytes:
    document = docx.Document()
    document.add_picture(io.BytesIO(LOGO))
    for text in texts:
        document.add_paragraph(text)
    document.sections[0].header.paragraphs[0].text = "{{ b }}"
    return to_bytes(document)


# Bytes a picture of the template holds already, from a value in the body or a header or from
# a fragment, are stored once, in the template's member; a template member that
# replace_picture changes is shared with nothing, whether before or after the render.
@pytest.mark.parametrize("replace", [None, "before", "after"])
def test_pictures_equal_to_the_templates_share_its_member(replace: str | None) -> None:
    scrivelle = tesserine.Scrivelle(document_with_logo("{{ a }} {{ a2 }}", "{{p frag }}"))
    other = png(8, 8, (0, 0, 255))
    if replace == "before":
        scrivelle.replace_picture("Picture 1", other)
    fragment = tesserine.Fragment(document_with_logo())
    scrivelle.render({"a": Picture(LOGO), "a2": Picture(png(6, 6)), "b": Picture(LOGO), "frag": fragment})
    if replace == "after":
        scrivelle.replace_picture("Picture 1", other)
    out = io.BytesIO()
    scrivelle.save(out)
    files = members(out.getvalue())
    check_package(files)
    media = sorted(name for name in files if name.startswith("word/media/"))
    assert media[0] == "word/media/image1.png"
    assert files["word/media/image1.png"] == (LOGO if replace is None else other)
    # The template's logo, the body's small picture, and the logo's own copy when the template's changed.
    assert sorted(files[name] for name in media) == sorted([files["word/media/image1.png"], png(6, 6)]
                                                            + ([] if replace is None else [LOGO]))
    result = read(out.getvalue())
    assert len(result.inline_shapes) == 4


def test_shared_template_media_in_libreoffice(office: Callable[[list[Path]], list[tuple[str, str]]],
                                             tmp_path: Path) -> None:
    scrivelle = tesserine.Scrivelle(document_with_logo("{{ a }} text", "{{p frag }}"))
    scrivelle.render({"a": Picture(LOGO), "b": Picture(LOGO), "frag": tesserine.Fragment(document_with_logo())})
    scrivelle.save(tmp_path / "shared.docx")
    [(text, images)] = office([tmp_path / "shared.docx"])
    assert "text" in text
    # The template's logo, the body's, the header's, and the fragment's.
    assert pictures_listed(images) == 4


def test_replace_picture_errors() -> None:
    scrivelle = tesserine.Scrivelle(template_with_picture(), limits=SMALL_PICTURES)
    with pytest.raises(tesserine.PictureNotFoundError, match="'Company logo', 'Logo'"):
        scrivelle.replace_picture("Signature", png(4, 4))
    with pytest.raises(PictureError, match="max_picture_size"):
        scrivelle.replace_picture("Logo", png(300, 300, dpi=72))


@pytest.mark.parametrize("member, source, kind", [
    ("word/media/a.png", png(5, 5), "PNG"),
    ("word/media/a.jpeg", png(5, 5), "JPEG"),
    ("word/media/a.png", SVG, "PNG"),
])
def test_replacement_bytes_match_the_members_format(member: str, source: bytes, kind: str) -> None:
    with Image.open(io.BytesIO(replacement_bytes(member, Picture(source)))) as image:
        assert image.format == kind


def test_raster_replacing_an_svg_is_wrapped_in_svg() -> None:
    data = replacement_bytes("word/media/a.svg", Picture(png(6, 3)))
    root = etree.fromstring(data)
    assert (root.get("width"), root.get("height")) == ("6", "3")
    assert root[0].get("href", "").startswith("data:image/png;base64,")
