"""Every kind of rich value in every place of a document, rendered by Scrivelle and checked
three ways: the package's XML, python-docx reading the result back, and LibreOffice."""

from __future__ import annotations

import io
import posixpath
import subprocess
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any, cast

import docx
import pytest
from docx.oxml import parse_xml
from docx.text.hyperlink import Hyperlink
from docx.text.paragraph import Paragraph
from docx.text.run import Run
from docx.types import ProvidesStoryPart
from helpers_docx import W, members, office_tools, read, to_bytes, zip_with
from lxml import etree
from PIL import Image

import tesserine
from tesserine import Link, Markdown, Picture, Styled

R = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
WP = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}"
RELS = "{http://schemas.openxmlformats.org/package/2006/relationships}"
CT = "{http://schemas.openxmlformats.org/package/2006/content-types}"
FOOTNOTES_TYPE = "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml"
SVG = (b'<svg xmlns="http://www.w3.org/2000/svg" width="120" height="60">'
       b'<rect width="120" height="60" fill="#22aa66"/></svg>')


def png(width: int, height: int, colour: tuple[int, int, int] = (200, 30, 30), dpi: int = 96) -> bytes:
    out = io.BytesIO()
    Image.new("RGB", (width, height), colour).save(out, format="PNG", dpi=(dpi, dpi))
    return out.getvalue()


def render(template: bytes, context: dict[str, Any], **options: Any) -> bytes:
    scrivelle = tesserine.Scrivelle(template)
    scrivelle.render(context, **options)
    out = io.BytesIO()
    scrivelle.save(out)
    return out.getvalue()


def with_footnotes(files: dict[str, bytes]) -> bytes:
    """The package of `files`, word/footnotes.xml among them, with its content type and relationship."""
    types = etree.fromstring(files["[Content_Types].xml"])
    etree.SubElement(types, CT + "Override", PartName="/word/footnotes.xml", ContentType=FOOTNOTES_TYPE)
    files["[Content_Types].xml"] = etree.tostring(types)
    rels = etree.fromstring(files["word/_rels/document.xml.rels"])
    etree.SubElement(rels, RELS + "Relationship", Id="rIdNotes", Target="footnotes.xml",
                     Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes")
    files["word/_rels/document.xml.rels"] = etree.tostring(rels)
    return zip_with(files)


def with_footnote(data: bytes, text: str) -> bytes:
    """The document with a footnotes part whose one note holds `text`."""
    files = members(data)
    files["word/footnotes.xml"] = (
        f'<w:footnotes xmlns:w="{W[1:-1]}"><w:footnote w:id="1"><w:p><w:r><w:t>{text}</w:t></w:r></w:p>'
        "</w:footnote></w:footnotes>").encode()
    # A note shows only where the body refers to it.
    reference = b'<w:p><w:r><w:t>Body</w:t></w:r><w:r><w:footnoteReference w:id="1"/></w:r></w:p><w:sectPr'
    files["word/document.xml"] = files["word/document.xml"].replace(b"<w:sectPr", reference, 1)
    return with_footnotes(files)


def template(place: str) -> bytes:
    """A document with the tag `v` in one place: inline in italic text, a run tag typed in
    italic, a paragraph, a repeated table row, the header or a footnote."""
    document = docx.Document()
    if place in ("inline", "run"):
        paragraph = document.add_paragraph("Before ")
        paragraph.add_run("<{{ v }}>" if place == "inline" else "{{r v }}").italic = True
        paragraph.add_run(" after")
    elif place == "paragraph":
        document.add_paragraph("{{p v }}")
    elif place == "table row":
        table = document.add_table(rows=3, cols=2)
        for row, cells in zip(table.rows, [["{%tr for v in row_values %}", ""], ["{{ v }}", "{{ loop.index }}"],
                                           ["{%tr endfor %}", ""]], strict=True):
            for cell, text in zip(row.cells, cells, strict=True):
                cell.text = text
    elif place == "header":
        document.add_paragraph("Body")
        document.sections[0].header.paragraphs[0].text = "Head {{ v }}"
    data = to_bytes(document)
    return with_footnote(data, "Note {{ v }}") if place == "footnote" else data


PLACES = ["inline", "run", "paragraph", "table row", "header", "footnote"]
VALUES: dict[str, Callable[[], Any]] = {
    "png": lambda: Picture(png(200, 100), width="4cm", alt="red box"),
    "svg": lambda: Picture(SVG, height="1cm"),
    "styled": lambda: Styled("Ada", bold=True, color="FF0000") + " & " + Styled("Bob", underline=True),
    "link": lambda: Link("https://example.com/?a=1&b=2", "example"),
    "markdown": lambda: Markdown("Some **strong** text.\n\n- one\n- two"),
    "plain": lambda: "a < b & {_{ c }_}",
}
# What each kind reads as, paragraphs joined by "|".
EXPECTED_TEXT = {
    "styled": "Ada & Bob", "link": "example", "plain": "a < b & {_{ c }_}", "markdown": "Some strong text.|one|two",
}
# The size of each picture in EMU: 4 cm wide, and 1 cm high at the SVG's 2:1.
PICTURE_SIZES = {"png": (1440000, 720000), "svg": (720000, 360000)}
PART_OF = {"header": "word/header1.xml", "footnote": "word/footnotes.xml"}
CASES = [(kind, place) for kind in VALUES for place in PLACES]


def context(value: Any) -> dict[str, Any]:
    return {"v": value, "row_values": [value, value, value]}


def uses(place: str) -> int:
    return 3 if place == "table row" else 1


def check_package(files: dict[str, bytes]) -> None:
    """Relationships resolve, content types cover every member, drawing ids are unique,
    each distinct picture is stored once."""
    types = etree.fromstring(files["[Content_Types].xml"])
    defaults = {each.get("Extension", "").lower() for each in types.iter(CT + "Default")}
    overrides = {each.get("PartName", "").lstrip("/") for each in types.iter(CT + "Override")}
    for name in files:
        assert name in overrides or name.rsplit(".", 1)[-1].lower() in defaults, name
    drawing_ids: list[str] = []
    parts = [name for name in files if name.startswith("word/") and name.endswith(".xml") and "/_rels/" not in name]
    for part in parts:
        root = etree.fromstring(files[part])
        rels_name = posixpath.join(posixpath.dirname(part), "_rels", posixpath.basename(part) + ".rels")
        relationships = {}
        if rels_name in files:
            for each in etree.fromstring(files[rels_name]).iter(RELS + "Relationship"):
                relationships[each.get("Id")] = each
                if each.get("TargetMode") != "External":
                    target = posixpath.normpath(posixpath.join(posixpath.dirname(part), each.get("Target", "")))
                    assert target in files, (part, target)
        for element in root.iter():
            for key in (R + "id", R + "embed"):
                if element.get(key) is not None:
                    assert element.get(key) in relationships, (part, element.get(key))
        drawing_ids += [each.get("id", "") for each in root.iter(WP + "docPr")]
    assert len(drawing_ids) == len(set(drawing_ids))
    media = [data for name, data in files.items() if name.startswith("word/media/")]
    assert len(media) == len(set(media))


def paragraphs(data: bytes, place: str) -> list[Paragraph]:
    """The paragraphs of the place, as python-docx reads them."""
    document = read(data)
    if place == "header":
        return list(document.sections[0].header.paragraphs)
    if place == "table row":
        return [paragraph for row in document.tables[0].rows for paragraph in row.cells[0].paragraphs]
    if place == "footnote":
        # python-docx has no footnotes; its paragraphs read one given the part it belongs to.
        part = next(part for part in document.part.package.iter_parts() if part.partname == "/word/footnotes.xml")
        owner = cast(ProvidesStoryPart, SimpleNamespace(part=part))
        return [Paragraph(p, owner) for p in parse_xml(part.blob).iter(W + "p")]
    return list(document.paragraphs)


def runs(paragraph: Paragraph) -> list[Run]:
    """The runs of a paragraph, those inside hyperlinks too."""
    found: list[Run] = []
    for item in paragraph.iter_inner_content():
        found += item.runs if isinstance(item, Hyperlink) else [item]
    return found


def styles(paragraph_list: list[Paragraph], text: str) -> list[tuple[Any, ...]]:
    """(bold, italic, underline, colour) of each run reading `text`."""
    return [(run.bold, run.italic, run.underline, run.font.color.rgb and str(run.font.color.rgb))
            for paragraph in paragraph_list for run in runs(paragraph) if run.text == text]


# The formatting of the template's run: italic where the tag was typed in italic.
ITALIC = {"inline": True, "run": True}


@pytest.mark.parametrize("kind, place", CASES)
def test_value_in_place(kind: str, place: str) -> None:
    data = render(template(place), context(VALUES[kind]()))
    files = members(data)
    check_package(files)
    found = paragraphs(data, place)
    text = "|".join(paragraph.text for paragraph in found)
    if kind in PICTURE_SIZES:
        extents = [(int(each.get("cx")), int(each.get("cy"))) for paragraph in found
                   for each in paragraph._p.iter(WP + "extent")]
        assert extents == [PICTURE_SIZES[kind]] * uses(place)
        assert sum(name.startswith("word/media/tesserine-") for name in files) == (1 if kind == "png" else 2)
        return
    assert text.count(EXPECTED_TEXT[kind]) == uses(place)
    if place in ("inline", "run"):
        # Text keeps its place; paragraphs split the one they stand in.
        joint = "|" if kind == "markdown" else ""
        around = ("<", ">") if place == "inline" else ("", "")
        assert f"Before {around[0]}{joint}{EXPECTED_TEXT[kind]}{joint}{around[1]} after" in text
    italic = ITALIC.get(place)
    if kind == "styled":
        assert styles(found, "Ada") == [(True, italic, None, "FF0000")] * uses(place)
        assert styles(found, "Bob") == [(None, italic, True, None)] * uses(place)
    elif kind == "link":
        links = [link for paragraph in found for link in paragraph.hyperlinks]
        expected = [("https://example.com/?a=1&b=2", "example")] * uses(place)
        assert [(link.address, link.text) for link in links] == expected
    elif kind == "markdown":
        assert styles(found, "strong")[0][0] is True
    else:
        holders = [run for paragraph in found for run in runs(paragraph) if EXPECTED_TEXT[kind] in run.text]
        assert [run.italic for run in holders] == [italic] * uses(place)


@pytest.fixture(scope="module")
def office(tmp_path_factory: pytest.TempPathFactory) -> Callable[[list[Path]], list[tuple[str, str]]]:
    """Convert documents to PDF in one LibreOffice run; the text and the picture list of each."""
    soffice, pdftotext, pdfimages = office_tools("soffice", "pdftotext", "pdfimages")
    work = tmp_path_factory.mktemp("office")

    def convert(documents: list[Path]) -> list[tuple[str, str]]:
        subprocess.run([soffice, f"-env:UserInstallation={(work / 'profile').as_uri()}", "--headless",
                        "--convert-to", "pdf", "--outdir", str(work), *map(str, documents)],
                       check=True, capture_output=True, timeout=600)
        results = []
        for document in documents:
            pdf = str(work / (document.stem + ".pdf"))
            text = subprocess.run([pdftotext, "-layout", pdf, "-"], check=True, capture_output=True, text=True).stdout
            images = subprocess.run([pdfimages, "-list", pdf], check=True, capture_output=True, text=True).stdout
            results.append((" ".join(text.split()), images))
        return results

    return convert


def pictures_listed(images: str) -> int:
    """The pictures in pdfimages' list; a transparency mask is a line of its own."""
    return sum(line.split()[2] == "image" for line in images.splitlines()[2:])


def test_every_case_in_libreoffice(office: Callable[[list[Path]], list[tuple[str, str]]], tmp_path: Path) -> None:
    documents = []
    for number, (kind, place) in enumerate(CASES):
        documents.append(tmp_path / f"case{number}.docx")
        documents[-1].write_bytes(render(template(place), context(VALUES[kind]())))
    for (kind, place), (text, images) in zip(CASES, office(documents), strict=True):
        if kind in PICTURE_SIZES:
            assert pictures_listed(images) == uses(place), (kind, place)
        else:
            # The list's bullets are LibreOffice's rendering of the numbering definition.
            pieces = ["Some strong text.", "• one", "• two"] if kind == "markdown" else [EXPECTED_TEXT[kind]]
            assert [text.count(piece) for piece in pieces] == [uses(place)] * len(pieces), (kind, place, text)
            assert pictures_listed(images) == 0


def test_pictures_keep_their_size(office: Callable[[list[Path]], list[tuple[str, str]]], tmp_path: Path) -> None:
    sizes = [("4cm", None, 96, (1440000, 720000)), (None, "1in", 96, (1828800, 914400)),
             ("30mm", "15mm", 96, (1080000, 540000)), (None, None, 96, (200 * 9525, 100 * 9525)),
             (None, None, 192, (100 * 9525, 50 * 9525)), (914400, None, 96, (914400, 457200))]
    document = docx.Document()
    for index in range(len(sizes)):
        document.add_paragraph(f"{{{{p p{index} }}}}")
    data = render(to_bytes(document), {f"p{index}": Picture(png(200, 100, dpi=dpi), width, height)
                                       for index, (width, height, dpi, _) in enumerate(sizes)})
    assert [(shape.width, shape.height) for shape in read(data).inline_shapes] == [size for *_, size in sizes]
    path = tmp_path / "sizes.docx"
    path.write_bytes(data)
    [(_, images)] = office([path])
    # pdfimages shows each picture's resolution on the page: 200 pixels over its width.
    ppi = [int(line.split()[12]) for line in images.splitlines()[2:] if line.split()[2] == "image"]
    assert ppi == [round(200 / (size[0] / 914400)) for *_, size in sizes]


def test_one_document_with_everything(office: Callable[[list[Path]], list[tuple[str, str]]], tmp_path: Path) -> None:
    everything = {"pic": Picture(png(120, 60), width="3cm"), "svg": Picture(SVG, width="2cm"),
                  "styled": Styled("OVERDUE", bold=True, color="C00000"), "link": Link("mailto:ada@example.com"),
                  "md": Markdown("# Note\n\nPaid by **transfer**.\n\n1. first\n2. second")}
    document = docx.Document()
    document.add_paragraph("Status: {{ styled }}, mail {{ link }}.")
    document.add_paragraph("{{p pic }}")
    document.add_paragraph("Logo {{ svg }} here")
    document.add_paragraph("{{p md }}")
    document.sections[0].header.paragraphs[0].text = "Head {{ pic }}"
    path = tmp_path / "everything.docx"
    path.write_bytes(render(to_bytes(document), everything))
    check_package(members(path.read_bytes()))
    [(text, images)] = office([path])
    assert "Status: OVERDUE, mail ada@example.com. Logo here Note Paid by transfer. 1. first 2. second" in text
    # The picture in the body and the header is one member drawn twice; the SVG has its
    # PNG fallback beside it.
    assert pictures_listed(images) == 3
    assert sum(name.startswith("word/media/") for name in members(path.read_bytes())) == 3
