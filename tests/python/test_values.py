"""Rich values in every position of a document, checked in the package's XML, through
python-docx, and in LibreOffice."""

from __future__ import annotations

import io
import posixpath
import shutil
import subprocess
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import docx
import pytest
from docx.shared import Emu
from helpers_docx import W, members, read, to_bytes, zip_with
from lxml import etree

pytest.importorskip("PIL")
pytest.importorskip("markdown_it")
from PIL import Image  # noqa: E402
from rich_helpers import render_rich  # noqa: E402

from tesserine.values import Link, Markdown, Picture, Styled  # noqa: E402

R = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
WP = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}"
RELS = "{http://schemas.openxmlformats.org/package/2006/relationships}"
CT = "{http://schemas.openxmlformats.org/package/2006/content-types}"
FOOTNOTES_TYPE = "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml"
SVG = (b'<svg xmlns="http://www.w3.org/2000/svg" width="120" height="60">'
       b'<rect width="120" height="60" fill="#2a6"/></svg>')


def png(width: int, height: int, colour: tuple[int, int, int] = (200, 30, 30), dpi: int = 96) -> bytes:
    out = io.BytesIO()
    Image.new("RGB", (width, height), colour).save(out, format="PNG", dpi=(dpi, dpi))
    return out.getvalue()


def with_footnote(data: bytes, text: str) -> bytes:
    """The document with a footnotes part whose one note holds `text`."""
    files = members(data)
    files["word/footnotes.xml"] = (
        f'<w:footnotes xmlns:w="{W[1:-1]}"><w:footnote w:id="1"><w:p><w:r><w:t>{text}</w:t></w:r></w:p>'
        "</w:footnote></w:footnotes>").encode()
    types = etree.fromstring(files["[Content_Types].xml"])
    etree.SubElement(types, CT + "Override", PartName="/word/footnotes.xml", ContentType=FOOTNOTES_TYPE)
    files["[Content_Types].xml"] = etree.tostring(types)
    rels = etree.fromstring(files["word/_rels/document.xml.rels"])
    etree.SubElement(rels, RELS + "Relationship", Id="rIdNotes", Target="footnotes.xml",
                     Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes")
    files["word/_rels/document.xml.rels"] = etree.tostring(rels)
    return zip_with(files)


def template(place: str) -> bytes:
    """A document with the tag `v` in one place: inline in italic text, a run, a paragraph,
    a repeated table row, the header or a footnote."""
    document = docx.Document()
    if place == "inline":
        paragraph = document.add_paragraph("Before ")
        paragraph.add_run("<{{ v }}> after").italic = True
    elif place in ("run", "paragraph"):
        document.add_paragraph("Before {{r v }} after" if place == "run" else "{{p v }}")
    elif place == "table row":
        table = document.add_table(rows=3, cols=2)
        for row, cells in zip(table.rows, [["{%tr for v in row_values %}", ""], ["{{ v }}", "{{ loop.index }}"],
                                           ["{%tr endfor %}", ""]]):
            for cell, text in zip(row.cells, cells):
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


def context(value: Any) -> dict[str, Any]:
    return {"v": value, "row_values": [value, value, value]}


def part_xml(files: dict[str, bytes], part: str) -> etree._Element:
    return etree.fromstring(files[part])


def check_package(files: dict[str, bytes]) -> None:
    """Relationships resolve, content types cover every member, drawing ids are unique,
    each distinct picture is stored once."""
    types = part_xml(files, "[Content_Types].xml")
    defaults = {each.get("Extension", "").lower() for each in types.iter(CT + "Default")}
    overrides = {each.get("PartName", "").lstrip("/") for each in types.iter(CT + "Override")}
    for name in files:
        assert name in overrides or name.rsplit(".", 1)[-1].lower() in defaults, name
    drawing_ids: list[str] = []
    for part in [name for name in files if name.startswith("word/") and name.endswith(".xml") and "/_rels/" not in name]:
        root = part_xml(files, part)
        rels_name = posixpath.join(posixpath.dirname(part), "_rels", posixpath.basename(part) + ".rels")
        relationships = {}
        if rels_name in files:
            for each in part_xml(files, rels_name).iter(RELS + "Relationship"):
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


def visible_text(files: dict[str, bytes], part: str) -> str:
    root = part_xml(files, part)
    return "|".join("".join(t.text or "" for t in p.iter(W + "t")) for p in root.iter(W + "p"))


PART_OF = {"header": "word/header1.xml", "footnote": "word/footnotes.xml"}
EXPECTED_TEXT = {
    "styled": "Ada & Bob", "link": "example", "plain": "a < b & {_{ c }_}",
    "markdown": "Some strong text.|one|two",
}


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("kind", list(VALUES))
def test_value_in_place(kind: str, place: str) -> None:
    files = members(render_rich(template(place), context(VALUES[kind]())))
    check_package(files)
    part = PART_OF.get(place, "word/document.xml")
    root = part_xml(files, part)
    uses = 3 if place == "table row" else 1
    if kind in ("png", "svg"):
        assert len(list(root.iter(WP + "inline"))) == uses
        assert sum(name.startswith("word/media/tesserine-") for name in files) == (1 if kind == "png" else 2)
    else:
        text = visible_text(files, part)
        assert text.count(EXPECTED_TEXT[kind]) == uses
        if place == "inline":
            # Paragraphs split the one they stand in; text keeps its place in the run.
            joint = "|" if kind == "markdown" else ""
            assert f"Before <{joint}{EXPECTED_TEXT[kind]}{joint}> after" in text


def test_inline_values_keep_the_runs_formatting() -> None:
    files = render_rich(template("inline"), context(Styled("Ada", bold=True, color="FF0000") + " & x"))
    runs = [run for run in read(files).paragraphs[0].runs if run.text]
    assert [(run.text, run.bold, run.italic, run.font.color.rgb and str(run.font.color.rgb)) for run in runs] == [
        ("Before ", None, None, None), ("<", None, True, None), ("Ada", True, True, "FF0000"),
        (" & x", None, True, None), ("> after", None, True, None)]


@pytest.mark.parametrize("width, height, dpi, expected", [
    ("4cm", None, 96, (Emu(1440000), Emu(720000))),
    (None, "1in", 96, (Emu(1828800), Emu(914400))),
    ("30mm", "15mm", 96, (Emu(1080000), Emu(540000))),
    (None, None, 96, (Emu(200 * 9525), Emu(100 * 9525))),
    (None, None, 192, (Emu(100 * 9525), Emu(50 * 9525))),
    (914400, None, 96, (Emu(914400), Emu(457200))),
])
def test_picture_sizes_read_back(width: Any, height: Any, dpi: int, expected: tuple[Emu, Emu]) -> None:
    result = read(render_rich(template("paragraph"), context(Picture(png(200, 100, dpi=dpi), width, height))))
    assert [(shape.width, shape.height) for shape in result.inline_shapes] == [expected]


def test_pictures_stored_once_across_parts_and_ids_above_existing() -> None:
    document = docx.Document()
    document.add_paragraph("{{ a }} {{ b }} {{ a }}")
    document.sections[0].header.paragraphs[0].text = "{{ a }}"
    first = members(render_rich(to_bytes(document), {"a": Picture(png(10, 10)), "b": Picture(png(10, 10))}))
    assert sum(name.startswith("word/media/") for name in first) == 1
    check_package(first)
    # A rendered document used as a template again: new ids above the ones it has.
    again = members(render_rich(zip_with({**first, "word/document.xml": first["word/document.xml"].replace(
        b"</w:body>", b"<w:p><w:r><w:t>{{ c }}</w:t></w:r></w:p></w:body>")}), {"c": Picture(png(20, 20))}))
    check_package(again)
    ids = [int(each.get("id")) for each in part_xml(again, "word/document.xml").iter(WP + "docPr")]
    assert ids[-1] > max(ids[:-1])


def without_numbering(data: bytes) -> bytes:
    files = members(data)
    del files["word/numbering.xml"]
    for name, tag in (("[Content_Types].xml", CT + "Override"), ("word/_rels/document.xml.rels", RELS + "Relationship")):
        root = etree.fromstring(files[name])
        for each in list(root.iter(tag)):
            if "numbering" in (each.get("PartName", "") + each.get("Target", "")):
                root.remove(each)
        files[name] = etree.tostring(root)
    return zip_with(files)


@pytest.mark.parametrize("has_numbering", [True, False])
def test_markdown_lists_restart_and_numbering_part_is_made(has_numbering: bool) -> None:
    data = template("paragraph")
    data = data if has_numbering else without_numbering(data)
    text = "1. a\n2. b\n\nbetween\n\n1. c\n   - d\n"
    files = members(render_rich(data, context(Markdown(text))))
    check_package(files)
    body = part_xml(files, "word/document.xml")
    numbered = [(p.xpath("string(.//w:numPr/w:numId/@w:val)", namespaces={"w": W[1:-1]}),
                 p.xpath("string(.//w:numPr/w:ilvl/@w:val)", namespaces={"w": W[1:-1]}))
                for p in body.iter(W + "p") if p.find(f"{W}pPr/{W}numPr") is not None]
    assert len(numbered) == 4
    assert numbered[0][0] == numbered[1][0] != numbered[2][0] != numbered[3][0]
    assert [level for _, level in numbered] == ["0", "0", "0", "1"]
    numbering = part_xml(files, "word/numbering.xml")
    ids = {each.get(W + "numId") for each in numbering.iter(W + "num")}
    assert {num for num, _ in numbered} <= ids
    assert "word/numbering.xml" in part_xml(files, "word/_rels/document.xml.rels").xpath(
        "concat('word/', //*[contains(@Type, 'numbering')]/@Target)")


def test_markdown_headings_use_the_documents_styles() -> None:
    result = read(render_rich(template("paragraph"), context(Markdown("# One\n\n## Two\n\n`code` <i>raw</i>"))))
    assert [(p.style.name, p.text) for p in result.paragraphs] == [
        ("Heading 1", "One"), ("Heading 2", "Two"), ("Normal", "code <i>raw</i>")]
    assert result.paragraphs[2].runs[0].font.name == "Courier New"


@pytest.fixture
def office(tmp_path: Path) -> Callable[[list[Path]], list[tuple[str, str]]]:
    soffice, pdftotext, pdfimages = shutil.which("soffice"), shutil.which("pdftotext"), shutil.which("pdfimages")
    if soffice is None or pdftotext is None or pdfimages is None:
        pytest.skip("LibreOffice or poppler not installed")

    def convert(documents: list[Path]) -> list[tuple[str, str]]:
        subprocess.run([soffice, f"-env:UserInstallation={(tmp_path / 'profile').as_uri()}", "--headless",
                        "--convert-to", "pdf", "--outdir", str(tmp_path), *map(str, documents)],
                       check=True, capture_output=True, timeout=300)
        results = []
        for document in documents:
            pdf = str(tmp_path / (document.stem + ".pdf"))
            text = subprocess.run([pdftotext, "-layout", pdf, "-"], check=True, capture_output=True, text=True).stdout
            images = subprocess.run([pdfimages, "-list", pdf], check=True, capture_output=True, text=True).stdout
            results.append((text, images))
        return results

    return convert


def test_documents_open_in_libreoffice(office: Callable[[list[Path]], list[tuple[str, str]]], tmp_path: Path) -> None:
    everything = {"pic": Picture(png(120, 60), width="3cm"), "svg": Picture(SVG, width="2cm"),
                  "styled": Styled("OVERDUE", bold=True, color="C00000"), "link": Link("mailto:ada@example.com"),
                  "md": Markdown("# Note\n\nPaid by **transfer**.\n\n1. first\n2. second")}
    document = docx.Document()
    document.add_paragraph("Status: {{ styled }}, mail {{ link }}.")
    document.add_paragraph("{{p pic }}")
    document.add_paragraph("Logo {{ svg }} here")
    document.add_paragraph("{{p md }}")
    document.sections[0].header.paragraphs[0].text = "Head {{ pic }}"
    combined = tmp_path / "combined.docx"
    combined.write_bytes(render_rich(to_bytes(document), everything))
    rows = tmp_path / "rows.docx"
    rows.write_bytes(render_rich(template("table row"), context(Picture(png(30, 30)))))
    (text, images), (_, row_images) = office([combined, rows])
    lines = [" ".join(line.split()) for line in text.splitlines() if line.strip()]
    assert "Status: OVERDUE, mail ada@example.com." in lines
    assert {"Note", "Paid by transfer.", "1. first", "2. second", "Logo here"} <= set(lines)
    assert len([line for line in images.splitlines()[2:] if " image " in line]) == 4
    assert len([line for line in row_images.splitlines()[2:] if " image " in line]) == 3


def test_rendered_package_is_a_valid_zip_with_all_members() -> None:
    data = render_rich(template("header"), context(Picture(png(5, 5))))
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        assert archive.testzip() is None
        assert "word/_rels/header1.xml.rels" in archive.namelist()
