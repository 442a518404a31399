"""Fragments of other documents placed with {{p x }}: a fragment made with python-docx
(styles, heading, numbered list, table, picture, hyperlink, footnote, bookmark) inserted
into templates with lists and pictures of their own, once and several times, in the body
and in a table loop; checked in the package's XML, with python-docx and in LibreOffice."""

from __future__ import annotations

import io
import pickle
import re
import warnings
from collections import Counter
from collections.abc import Callable
from pathlib import Path
from typing import Any

import docx
import pytest
from docx.enum.style import WD_STYLE_TYPE
from docx.opc.constants import RELATIONSHIP_TYPE as RT
from docx.oxml import OxmlElement
from docx.oxml.ns import qn
from docx.shared import Cm, Pt, RGBColor
from helpers_docx import W, members, read, to_bytes, zip_with
from lxml import etree
from test_values import RELS, check_package, office, pictures_listed, png, render, with_footnotes

import tesserine
from tesserine import Fragment, FragmentWarning, Limits, Picture, Scrivelle

__all__ = ["office"]

URL = "https://example.com/terms?a=1&b=2"


def element(tag: str, text: str | None = None, **attributes: str) -> Any:
    made = OxmlElement(tag)
    for key, value in attributes.items():
        made.set(qn(key.replace("_", ":", 1)), value)
    if text is not None:
        made.text = text
    return made


def run(text: str) -> Any:
    made = element("w:r")
    made.append(element("w:t", text, xml_space="preserve"))
    return made


def fragment_docx(name: str = "Clause", picture: tuple[int, int, int] = (30, 90, 200)) -> bytes:
    """A clause as its own document: a custom style, a heading with a bookmark, a numbered
    list, a table, a picture, a hyperlink, a REF field to the bookmark and a footnote."""
    document = docx.Document()
    style = document.styles.add_style(name, WD_STYLE_TYPE.PARAGRAPH)
    style.base_style = document.styles["Normal"]
    style.font.bold, style.font.color.rgb = True, RGBColor(0x11, 0x66, 0x11)
    reference = document.styles.add_style("Footnote Reference", WD_STYLE_TYPE.CHARACTER)
    reference.font.superscript = True
    heading = document.add_heading("", 1)
    heading._p.append(element("w:bookmarkStart", w_id="0", w_name="Terms"))
    heading._p.append(run(f"{name} heading"))
    heading._p.append(element("w:bookmarkEnd", w_id="0"))
    body = document.add_paragraph(f"{name} body text", style=name)
    note = element("w:r")
    note.append(element("w:rPr"))
    note[0].append(element("w:rStyle", w_val="FootnoteReference"))
    note.append(element("w:footnoteReference", w_id="1"))
    body._p.append(note)
    for item in ("first item", "second item", "third item"):
        document.add_paragraph(f"{name} {item}", style="List Number")
    table = document.add_table(rows=2, cols=2)
    for row, cells in enumerate([["cell a1", "cell b1"], ["cell a2", "cell b2"]]):
        for column, text in enumerate(cells):
            table.cell(row, column).text = f"{name} {text}"
    document.add_picture(io.BytesIO(png(60, 30, picture)), width=Cm(2))
    links = document.add_paragraph(f"{name} see ")
    address = links.part.relate_to(URL, RT.HYPERLINK, is_external=True)
    link = element("w:hyperlink", r_id=address)
    link.append(run("the terms"))
    links._p.append(link)
    links._p.append(element("w:hyperlink", w_anchor="Terms"))
    links._p[-1].append(run(" and above"))
    field = element("w:fldSimple", w_instr=" REF Terms \\h ")
    field.append(run(" (ref)"))
    links._p.append(field)
    files = members(to_bytes(document))
    files["word/footnotes.xml"] = (
        f'<w:footnotes xmlns:w="{W[1:-1]}"><w:footnote w:type="separator" w:id="-1"><w:p><w:r><w:separator/></w:r>'
        f'</w:p></w:footnote><w:footnote w:id="1"><w:p><w:r><w:rPr><w:rStyle w:val="FootnoteReference"/></w:rPr>'
        f'<w:footnoteRef/></w:r><w:r><w:t xml:space="preserve"> {name} note</w:t></w:r></w:p></w:footnote>'
        "</w:footnotes>").encode()
    return with_footnotes(files)


def template_docx(clause_style: bool = False, picture: tuple[int, int, int] = (200, 200, 20)) -> bytes:
    """A template with its own numbered list and picture, a fragment twice in the body and
    one per row of a table loop; with `clause_style`, its own "Clause" style in italic."""
    document = docx.Document()
    if clause_style:
        style = document.styles.add_style("Clause", WD_STYLE_TYPE.PARAGRAPH)
        style.font.italic, style.font.size = True, Pt(9)
    document.add_paragraph("Intro")
    for item in ("own one", "own two"):
        document.add_paragraph(item, style="List Number")
    document.add_picture(io.BytesIO(png(40, 40, picture)), width=Cm(1))
    document.add_paragraph("{{p clause }}")
    document.add_paragraph("Middle")
    document.add_paragraph("{{p clause }}")
    table = document.add_table(rows=3, cols=2)
    for row, cells in zip(table.rows, [["{%tr for item in items %}", ""], ["{{ item.name }}", "{{p item.sheet }}"],
                                       ["{%tr endfor %}", ""]], strict=True):
        for cell, text in zip(row.cells, cells, strict=True):
            cell.text = text
    document.add_paragraph("End")
    return to_bytes(document)


def xml(files: dict[str, bytes], member: str) -> etree._Element:
    return etree.fromstring(files[member])


def check_references(files: dict[str, bytes]) -> None:
    """Every style, list, note and bookmark a part uses exists, once; no comment is left."""
    styles = {style.get(W + "styleId") for style in xml(files, "word/styles.xml").iter(W + "style")}
    numbering = xml(files, "word/numbering.xml")
    abstracts = Counter(each.get(W + "abstractNumId") for each in numbering.iter(W + "abstractNum"))
    nums = {each.get(W + "numId"): each.find(W + "abstractNumId").get(W + "val") for each in numbering.iter(W + "num")}
    assert max(abstracts.values()) == 1 and len(nums) == len(list(numbering.iter(W + "num")))
    assert set(nums.values()) <= set(abstracts)
    notes = {note.get(W + "id") for note in xml(files, "word/footnotes.xml").iter(W + "footnote")} \
        if "word/footnotes.xml" in files else set()
    bookmark_ids: list[str] = []
    bookmark_names: list[str] = []
    for part in ("word/document.xml", "word/footnotes.xml", "word/styles.xml", "word/numbering.xml"):
        if part not in files:
            continue
        root = xml(files, part)
        for reference in root.iter(W + "pStyle", W + "rStyle", W + "tblStyle", W + "basedOn", W + "link", W + "next"):
            assert reference.get(W + "val") in styles, (part, reference.get(W + "val"))
        for reference in root.iter(W + "numId"):
            assert reference.get(W + "val") in {*nums, "0"}, (part, reference.get(W + "val"))
        for reference in root.iter(W + "footnoteReference"):
            assert reference.get(W + "id") in notes
        assert not list(root.iter(W + "commentReference", W + "commentRangeStart"))
        bookmark_ids += [mark.get(W + "id") for mark in root.iter(W + "bookmarkStart")]
        bookmark_names += [mark.get(W + "name").lower() for mark in root.iter(W + "bookmarkStart")]
        for link in root.iter(W + "hyperlink"):
            assert link.get(W + "anchor", "").lower() in ("", *bookmark_names)
    assert len(bookmark_ids) == len(set(bookmark_ids)) and len(bookmark_names) == len(set(bookmark_names))


def render_with(template: bytes, context: dict[str, Any]) -> tuple[bytes, dict[str, bytes]]:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        data = render(template, context)
    files = members(data)
    check_package(files)
    check_references(files)
    return data, files


def clause_context(fragment: Fragment, rows: int = 2) -> dict[str, Any]:
    return {"clause": fragment, "items": [{"name": f"row {n}", "sheet": fragment} for n in range(rows)]}


def clause_paragraphs(data: bytes) -> list[tuple[str, str]]:
    """(style name, text) of every body and cell paragraph that the fragment wrote."""
    document = read(data)
    found = [(p.style.name, p.text) for p in document.paragraphs]
    for table in document.tables:
        for cell in table._cells:
            found += [(p.style.name, p.text) for p in cell.paragraphs]
            for inner in cell.tables:
                found += [(p.style.name, p.text) for each in inner._cells for p in each.paragraphs]
    return [(style, text) for style, text in found if "Clause" in text]


def numbering_of(files: dict[str, bytes], *starts: str) -> list[str]:
    """The list of each paragraph whose text starts with one of `starts`, in document order."""
    return [p.find(f"{W}pPr/{W}numPr/{W}numId").get(W + "val") for p in xml(files, "word/document.xml").iter(W + "p")
            if "".join(p.itertext()).startswith(starts)]


def test_fragment_in_body_and_table_loop() -> None:
    fragment = Fragment(fragment_docx())
    data, files = render_with(template_docx(), clause_context(fragment))
    uses = 4
    texts = [text for _, text in clause_paragraphs(data)]
    assert texts.count("Clause heading") == uses and texts.count("Clause body text") == uses
    assert texts.count("Clause see the terms and above") == uses
    # Each insertion is a list of its own, apart from the template's list and from each other.
    lists = numbering_of(files, "Clause first item", "Clause second item")
    list_number = f".//{W}style[@{W}styleId='ListNumber']//{W}numId"
    template_list = xml(files, "word/styles.xml").find(list_number).get(W + "val")
    assert len(lists) == 2 * uses and len(set(lists)) == uses and template_list not in lists
    # One picture stored for the template's and one for the four copies of the fragment's.
    assert sum(name.startswith("word/media/") for name in files) == 2
    document = read(data)
    assert len(document.inline_shapes) == 1 + uses
    assert [link.address for p in document.paragraphs for link in p.hyperlinks if link.address] == [URL] * 2
    notes = xml(files, "word/footnotes.xml")
    notes_written = [note for note in notes.iter(W + "footnote") if note.get(W + "id") not in ("-1", "0")]
    assert ["".join(note.itertext()) for note in notes_written] == [" Clause note"] * uses
    names = [mark.get(W + "name") for mark in xml(files, "word/document.xml").iter(W + "bookmarkStart")]
    assert names == ["Terms", "Terms_2", "Terms_3", "Terms_4"]
    fields = [field.get(W + "instr") for field in xml(files, "word/document.xml").iter(W + "fldSimple")]
    assert fields == [f" REF {name} \\h " for name in names]


@pytest.mark.parametrize("keep_styles, template_look, expected", [
    # The template's own "Clause" wins: italic, 9 pt, no colour of the fragment's.
    (False, True, ("Clause", True, None, None)),
    # Kept, the fragment's look comes under a new name.
    (True, True, ("Clause (2)", None, True, "116611")),
    # A style the template lacks is added as the fragment has it, either way.
    (False, False, ("Clause", None, True, "116611")),
    (True, False, ("Clause", None, True, "116611")),
])
def test_styles_of_the_fragment(keep_styles: bool, template_look: bool, expected: tuple[Any, ...]) -> None:
    data, _ = render_with(template_docx(clause_style=template_look), clause_context(Fragment(fragment_docx(),
                                                                                          keep_styles=keep_styles)))
    styles = {(style, text) for style, text in clause_paragraphs(data) if text == "Clause body text"}
    assert len(styles) == 1
    name = styles.pop()[0]
    style = read(data).styles[name]
    assert (name, style.font.italic, style.font.bold, style.font.color.rgb and str(style.font.color.rgb)) == expected
    # The heading, list and footnote styles of both documents are the same: never duplicated.
    assert [s.name for s in read(data).styles].count("List Number") == 1


def test_kept_styles_carry_the_fragments_defaults() -> None:
    fragment = docx.Document()
    fragment.styles["Normal"].font.size = Pt(15)
    fragment.add_paragraph("Clause plain")
    data, _ = render_with(template_docx(), clause_context(Fragment(to_bytes(fragment), keep_styles=True)))
    (name, _), *_ = clause_paragraphs(data)
    assert name == "Normal (2)" and read(data).styles[name].font.size == Pt(15)
    assert read(data).styles["Normal"].font.size is None


def test_fragment_of_a_rendered_template_and_nested_values() -> None:
    sub = Scrivelle(template_docx(picture=(0, 0, 0)))
    sub.render({"clause": Fragment(fragment_docx()), "items": []})
    sheet = docx.Document()
    sheet.add_paragraph("Clause sheet of {{ product }}")
    sheet.add_paragraph("{{p logo }}")
    item = Scrivelle(to_bytes(sheet))
    sheets = []
    for number in range(3):
        item.render({"product": f"P{number}", "logo": Picture(png(20, 20, (number * 80, 0, 0)))})
        sheets.append(Fragment(item))
    data, files = render_with(template_docx(), {"clause": Fragment(sub),
                                                "items": [{"name": "x", "sheet": each} for each in sheets]})
    texts = [text for _, text in clause_paragraphs(data)]
    assert [text for text in texts if text.startswith("Clause sheet")] == ["Clause sheet of P0", "Clause sheet of P1",
                                                                          "Clause sheet of P2"]
    # The rendered template held the clause twice; it is placed twice.
    assert texts.count("Clause heading") == 4
    # The template's picture, the rendered template's own and its clause's (each stored
    # once, however many copies), three logos.
    assert sum(name.startswith("word/media/") for name in files) == 6


def ole_fragment() -> bytes:
    """A fragment with an embedded object, a chart and a comment next to its text."""
    document = docx.Document()
    paragraph = document.add_paragraph("Clause kept text")
    holder = element("w:r")
    embedded = etree.SubElement(holder, W + "object")
    etree.SubElement(embedded, "{urn:schemas-microsoft-com:office:office}OLEObject",
                     {"{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id": "rIdOle"})
    paragraph._p.append(holder)
    paragraph._p.insert(0, element("w:commentRangeStart", w_id="0"))
    paragraph._p.append(element("w:commentRangeEnd", w_id="0"))
    paragraph._p.append(element("w:r"))
    paragraph._p[-1].append(element("w:commentReference", w_id="0"))
    document.add_paragraph("Clause before a section break")._p.get_or_add_pPr().append(element("w:sectPr"))
    chart = document.add_paragraph("Clause chart:")
    drawing = element("w:r")
    graphic = etree.SubElement(etree.SubElement(drawing, W + "drawing"), "{http://schemas.openxmlformats.org/drawingml/"
                               "2006/wordprocessingDrawing}inline")
    etree.SubElement(graphic, "{http://schemas.openxmlformats.org/drawingml/2006/chart}chart",
                     {"{http://schemas.openxmlformats.org/officeDocument/2006/relationships}id": "rIdChart"})
    chart._p.append(drawing)
    files = members(to_bytes(document))
    files["word/embeddings/oleObject1.bin"] = b"\xd0\xcf\x11\xe0" + bytes(60)
    files["word/charts/chart1.xml"] = b"<c:chartSpace xmlns:c='http://schemas.openxmlformats.org/drawingml/2006/chart'/>"
    rels = etree.fromstring(files["word/_rels/document.xml.rels"])
    for identifier, kind, target in (("rIdOle", "oleObject", "embeddings/oleObject1.bin"),
                                     ("rIdChart", "chart", "charts/chart1.xml")):
        etree.SubElement(rels, RELS + "Relationship", Id=identifier, Target=target,
                         Type=f"http://schemas.openxmlformats.org/officeDocument/2006/relationships/{kind}")
    files["word/_rels/document.xml.rels"] = etree.tostring(rels)
    return zip_with(files)


def test_what_cannot_be_carried_is_left_out_with_a_warning() -> None:
    with pytest.warns(FragmentWarning) as caught:
        fragment = Fragment(ole_fragment())
    told = " | ".join(str(warning.message) for warning in caught)
    for what in ("an embedded object (word/embeddings/oleObject1.bin)", "a chart (word/charts/chart1.xml)", "comments",
                 "section breaks"):
        assert what in told
    data, files = render_with(template_docx(), clause_context(fragment, rows=1))
    assert [text for _, text in clause_paragraphs(data)] == ["Clause kept text", "Clause before a section break",
                                                             "Clause chart:"] * 3
    assert len(list(xml(files, "word/document.xml").iter(W + "sectPr"))) == 1
    assert not any(name.startswith(("word/embeddings/", "word/charts/")) for name in files)
    assert b"OLEObject" not in files["word/document.xml"] and b"c:chart" not in files["word/document.xml"]
    assert b"<w:r/>" not in files["word/document.xml"]


def with_doctype(member: str) -> bytes:
    files = members(fragment_docx())
    files[member] = b'<?xml version="1.0"?><!DOCTYPE d [<!ENTITY a "aaaa">]>' + files[member].split(b"?>", 1)[1]
    return zip_with(files)


@pytest.mark.parametrize("make_source, limits, expected", [
    (lambda: b"not a zip at all", None, tesserine.NotADocxError),
    (lambda: zip_with({"a.txt": b"x"}), None, tesserine.NotADocxError),
    (lambda: with_doctype("word/document.xml"), None, tesserine.TesserineError),
    (fragment_docx, Limits(max_members=5), tesserine.LimitError),
    (fragment_docx, Limits(max_part_size=2000), tesserine.LimitError),
])
def test_fragments_are_refused_as_templates_are(make_source: Callable[[], bytes], limits: Limits | None,
                                                expected: type[Exception]) -> None:
    source = make_source()
    with pytest.raises(expected) as as_template:
        Scrivelle(source, limits=limits)
    with pytest.raises(expected) as as_fragment:
        Fragment(source, limits=limits)
    assert type(as_fragment.value) is type(as_template.value)
    assert str(as_fragment.value) == str(as_template.value)


@pytest.mark.parametrize("text", ["Here: {{ clause }}", "{{r clause }}", "{{ clause }}"])
def test_fragment_outside_a_paragraph_of_its_own_is_refused(text: str) -> None:
    document = docx.Document()
    document.add_paragraph(text)
    with pytest.raises(tesserine.TemplateRenderError, match=re.escape("{{p x }}")):
        render(to_bytes(document), {"clause": Fragment(fragment_docx())})


def test_unrendered_template_is_no_fragment() -> None:
    with pytest.raises(tesserine.RichValueError, match="render"):
        Fragment(Scrivelle(template_docx()))


def test_fragments_travel_to_worker_processes() -> None:
    fragment = Fragment(fragment_docx())
    again = pickle.loads(pickle.dumps(fragment))
    assert again.keep_styles is False and again.label == fragment.label
    here, _ = render_with(template_docx(), clause_context(fragment))
    there = list(tesserine.render_many(template_docx(), [clause_context(fragment), clause_context(again, rows=0)],
                                       workers=2))
    assert all(isinstance(each, bytes) for each in there)
    assert clause_paragraphs(there[0]) == clause_paragraphs(here)
    assert len(clause_paragraphs(there[1])) == len(clause_paragraphs(here)) // 2


def test_notes_join_a_template_with_notes_of_its_own() -> None:
    files = members(template_docx())
    files["word/footnotes.xml"] = (
        f'<w:footnotes xmlns:w="{W[1:-1]}"><w:footnote w:id="4"><w:p><w:r><w:t>Own note {{{{ who }}}}</w:t></w:r>'
        "</w:p></w:footnote></w:footnotes>").encode()
    _, files = render_with(with_footnotes(files),
                           {**clause_context(Fragment(fragment_docx()), rows=0), "who": "Ada"})
    notes = {note.get(W + "id"): "".join(note.itertext()) for note in xml(files, "word/footnotes.xml")}
    assert notes == {"4": "Own note Ada", "5": " Clause note", "6": " Clause note"}


def with_restarted_list() -> bytes:
    """A fragment with two lists of one definition, the second restarting at 1, and template text."""
    document = docx.Document()
    for number, text in ((1, "Clause a"), (1, "Clause b"), (2, "Clause again {{ not_a_tag }}")):
        paragraph = document.add_paragraph(text)
        numbering = paragraph._p.get_or_add_pPr()._add_numPr()
        numbering._add_ilvl().val, numbering._add_numId().val = 0, 100 + number
    files = members(to_bytes(document))
    numbering = etree.fromstring(files["word/numbering.xml"])
    abstract = next(numbering.iter(W + "abstractNum")).get(W + "abstractNumId")
    numbering.append(etree.fromstring(f'<w:num xmlns:w="{W[1:-1]}" w:numId="101"><w:abstractNumId w:val="{abstract}"/>'
                                      "</w:num>"))
    numbering.append(etree.fromstring(
        f'<w:num xmlns:w="{W[1:-1]}" w:numId="102"><w:abstractNumId w:val="{abstract}"/><w:lvlOverride w:ilvl="0">'
        '<w:startOverride w:val="1"/></w:lvlOverride></w:num>'))
    files["word/numbering.xml"] = etree.tostring(numbering)
    return zip_with(files)


def test_lists_restart_as_in_the_fragment_in_every_copy() -> None:
    data, files = render_with(template_docx(), clause_context(Fragment(with_restarted_list()), rows=0))
    numbering = xml(files, "word/numbering.xml")
    nums = {num.get(W + "numId"): num for num in numbering.iter(W + "num")}
    used = numbering_of(files, "Clause")
    assert [text for _, text in clause_paragraphs(data)] == ["Clause a", "Clause b", "Clause again {{ not_a_tag }}"] * 2
    first, second = used[:3], used[3:]
    assert first[0] == first[1] != first[2] and len(set(first) | set(second)) == 4
    copies = (first, second)
    definitions = [{nums[number].find(W + "abstractNumId").get(W + "val") for number in copy} for copy in copies]
    assert all(len(each) == 1 for each in definitions) and definitions[0] != definitions[1]
    assert [nums[copy[2]].find(f"{W}lvlOverride/{W}startOverride") is not None for copy in copies] == [True] * 2
    nsids = [abstract.find(W + "nsid").get(W + "val") for abstract in numbering.iter(W + "abstractNum")
             if abstract.find(W + "nsid") is not None]
    assert len(nsids) == len(set(nsids))


def test_fragment_in_a_header_leaves_its_notes_out() -> None:
    document = docx.Document()
    document.add_paragraph("Body")
    document.sections[0].header.paragraphs[0].text = "{{p clause }}"
    with pytest.warns(FragmentWarning, match="footnotes and endnotes left out in word/header"):
        data = render(to_bytes(document), {"clause": Fragment(fragment_docx())})
    files = members(data)
    check_package(files)
    check_references(files)
    header = read(data).sections[0].header
    assert "Clause heading" in [p.text for p in header.paragraphs] and "word/footnotes.xml" not in files
    assert b"media/" in next(data for name, data in files.items() if name.startswith("word/_rels/header"))


WPS = "http://schemas.microsoft.com/office/word/2010/wordprocessingShape"
MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"


def foreign_markup() -> bytes:
    """A body as other producers write it: an alternative that requires a prefix, marks
    in an ignorable namespace no office application knows, Word's own ids, _GoBack."""
    files = members(to_bytes(docx.Document()))
    files["word/document.xml"] = (
        f'<w:document xmlns:w="{W[1:-1]}" xmlns:mc="{MC}" xmlns:wps="{WPS}" xmlns:x="urn:example:extra"'
        ' xmlns:w14="http://schemas.microsoft.com/office/word/2010/wordml" mc:Ignorable="w14 x"><w:body>'
        '<w:p w14:paraId="1A2B3C4D" x:mark="1"><w:bookmarkStart w:id="3" w:name="_GoBack"/><w:r><w:t>Clause shape</w:t>'
        '</w:r><w:bookmarkEnd w:id="3"/><w:r><mc:AlternateContent><mc:Choice Requires="wps"><wps:wsp/></mc:Choice>'
        '<mc:Fallback><w:t>fallback</w:t></mc:Fallback></mc:AlternateContent></w:r><x:extra/></w:p>'
        "<w:sectPr/></w:body></w:document>").encode()
    return zip_with(files)


def test_markup_of_other_producers_travels_soundly() -> None:
    files = members(template_docx())
    # The template declares the shape namespace under a prefix of its own.
    files["word/document.xml"] = files["word/document.xml"].replace(b"xmlns:wps=", b"xmlns:shape=")
    _, out = render_with(zip_with(files), clause_context(Fragment(foreign_markup()), rows=1))
    body = out["word/document.xml"]
    choices = list(xml(out, "word/document.xml").iter(f"{{{MC}}}Choice"))
    assert len(choices) == 3 and all(choice.nsmap.get(choice.get("Requires")) == WPS for choice in choices)
    assert b"urn:example:extra" not in body and b"1A2B3C4D" not in body and b"_GoBack" not in body


CORPUS = sorted((Path(__file__).resolve().parents[1] / "corpus").glob("*.docx"))


def corpus_fragment(path: Path) -> Fragment:
    with warnings.catch_warnings():
        # Comments and section breaks are left out of these, as the warning says.
        warnings.simplefilter("ignore", FragmentWarning)
        return Fragment(path)


def first_line(fragment: Fragment) -> str:
    return next(line for line in fragment.plain_text().split("\n") if len(line.split()) >= 3)


@pytest.mark.parametrize("path", CORPUS, ids=lambda path: path.stem)
def test_documents_of_real_producers_as_fragments(path: Path) -> None:
    fragment = corpus_fragment(path)
    data, files = render_with(template_docx(), clause_context(fragment))
    root = xml(files, "word/document.xml")
    texts = ["".join(text.text or "" for text in p.iter(W + "t")) for p in root.iter(W + "p")]
    assert texts.count(first_line(fragment)) == 4
    assert len(read(data).paragraphs) > 8


def all_corpus() -> bytes:
    document = docx.Document()
    for text in ("{%p for each in fragments %}", "{{p each }}", "{%p endfor %}"):
        document.add_paragraph(text)
    return render(to_bytes(document), {"fragments": [corpus_fragment(path) for path in CORPUS]})


def test_libreoffice_shows_every_fragment_in_place(office: Callable[[list[Path]], list[tuple[str, str]]],
                                                   tmp_path: Path) -> None:
    target = tmp_path / "assembled.docx"
    target.write_bytes(render(template_docx(), clause_context(Fragment(fragment_docx()))))
    kept = tmp_path / "kept.docx"
    kept.write_bytes(render(template_docx(clause_style=True), clause_context(Fragment(fragment_docx(),
                                                                                      keep_styles=True), rows=1)))
    corpus = tmp_path / "corpus.docx"
    corpus.write_bytes(all_corpus())
    (text, images), (kept_text, kept_images), (corpus_text, _) = office([target, kept, corpus])
    at = 0
    for path in CORPUS:
        # Each document of the corpus in its turn.
        at = corpus_text.find(first_line(corpus_fragment(path)), at)
        assert at >= 0, path.name
    # Lists number as in the fragment, each copy from 1; the note mark follows the body
    # text; the REF field shows the heading its copy of the bookmark holds.
    clause = re.compile(r"Clause heading Clause body text(\d) 1\. Clause first item 2\. Clause second item"
                        r" 3\. Clause third item Clause cell a1 Clause cell b1 Clause cell a2 Clause cell b2"
                        r" Clause see the terms and above ?Clause heading ")
    assert clause.findall(text) == ["1", "2", "3", "4"] and clause.findall(kept_text) == ["1", "2", "3"]
    places = [text.index(each) for each in ("Intro 1. own one 2. own two", "Middle", "row 0", "row 1", "End")]
    starts = [found.start() for found in clause.finditer(text)]
    assert places[0] < starts[0] < places[1] < starts[1] < places[2] < starts[2] < places[3] < starts[3] < places[4]
    assert text.count("Clause note") == 4
    assert pictures_listed(images) == 1 + 4 and pictures_listed(kept_images) == 1 + 3
