"""Builds the corpus of real documents that tests/python/test_corpus.py renders.

    python tests/corpus/make_corpus.py [FOLDER]        (default: this script's folder)

Each .docx is written by a real producer, or by hand where a producer cannot be made
to write the markup: LibreOffice from an HTML page and from a flat OpenDocument file,
pandoc from Markdown, python-docx, and hand-written parts over a python-docx package
(pretty-printed XML with line feeds, tabs and carriage returns in text, tracked
changes, fields and content controls, right-to-left text). Needs soffice (Debian
libreoffice-writer-nogui), pandoc (Debian pandoc) and python-docx. The documents are
checked in, so the tests need neither pandoc nor this script.
"""

from __future__ import annotations

import base64
import io
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib
from collections.abc import Callable
from pathlib import Path

import docx
from docx.enum.section import WD_ORIENT
from docx.enum.text import WD_BREAK
from docx.shared import Cm
from lxml import etree

W = "http://schemas.openxmlformats.org/wordprocessingml/2006/main"


def png(width: int = 24, height: int = 16) -> bytes:
    """A small opaque RGB picture: a horizontal colour ramp."""
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in (x * 10, 90, 200 - x * 8)) for _ in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


HTML = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Corpus page</title></head><body>
<h1>A page written as HTML</h1>
<p>A paragraph with <b>bold</b>, <i>italic</i> and <a href="https://example.org/">a link</a>.</p>
<ul><li>First point</li><li>Second point<ul><li>Nested point</li></ul></li></ul>
<ol><li>Step one</li><li>Step two</li></ol>
<table border="1"><tr><th>Item</th><th>Price</th></tr>
<tr><td>Paper</td><td>12.50</td></tr><tr><td>Ink</td><td>3.20</td></tr></table>
<pre>preformatted   text
  on two lines</pre>
<p>Closing words of the page.</p>
</body></html>
"""

FODT = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:xlink="http://www.w3.org/1999/xlink" xmlns:dc="http://purl.org/dc/elements/1.1/"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.text">
<office:styles>
 <style:style style:name="Standard" style:family="paragraph"/>
 <style:style style:name="Heading_20_1" style:display-name="Heading 1" style:family="paragraph">
  <style:text-properties fo:font-size="18pt" fo:font-weight="bold"/></style:style>
</office:styles>
<office:automatic-styles>
 <style:style style:name="Bold" style:family="text"><style:text-properties fo:font-weight="bold"/></style:style>
 <style:style style:name="Rtl" style:family="paragraph" style:parent-style-name="Standard">
  <style:paragraph-properties style:writing-mode="rl-tb" fo:text-align="end"/></style:style>
 <style:style style:name="Wide" style:family="paragraph" style:parent-style-name="Standard"
  style:master-page-name="Landscape"><style:paragraph-properties fo:break-before="page"/></style:style>
 <style:page-layout style:name="Tall"><style:page-layout-properties fo:page-width="21cm" fo:page-height="29.7cm"
  style:print-orientation="portrait" fo:margin="2cm"/><style:header-style/><style:footer-style/></style:page-layout>
 <style:page-layout style:name="Flat"><style:page-layout-properties fo:page-width="29.7cm" fo:page-height="21cm"
  style:print-orientation="landscape" fo:margin="2cm"/></style:page-layout>
</office:automatic-styles>
<office:master-styles>
 <style:master-page style:name="Standard" style:page-layout-name="Tall">
  <style:header><text:p>Header of the report</text:p></style:header>
  <style:footer><text:p>Page <text:page-number text:select-page="current">1</text:page-number></text:p></style:footer>
 </style:master-page>
 <style:master-page style:name="Landscape" style:page-layout-name="Flat"/>
</office:master-styles>
<office:body><office:text>
 <text:tracked-changes>
  <text:changed-region text:id="ins1"><text:insertion><office:change-info><dc:creator>Ada</dc:creator>
   <dc:date>2024-01-02T10:00:00</dc:date></office:change-info></text:insertion></text:changed-region>
  <text:changed-region text:id="del1"><text:deletion><office:change-info><dc:creator>Ada</dc:creator>
   <dc:date>2024-01-02T10:05:00</dc:date></office:change-info><text:p>removed words </text:p></text:deletion>
  </text:changed-region>
 </text:tracked-changes>
 <text:h text:outline-level="1" text:style-name="Heading_20_1">A report from LibreOffice</text:h>
 <text:p>First paragraph with <text:span text:style-name="Bold">bold words</text:span>, a footnote<text:note
  text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body><text:p>The
  footnote text.</text:p></text:note-body></text:note> and a bookmark <text:bookmark-start
  text:name="mark"/>here<text:bookmark-end text:name="mark"/>.</text:p>
 <text:p>Tracked: <text:change-start text:change-id="ins1"/>inserted words<text:change-end text:change-id="ins1"/>
  and <text:change text:change-id="del1"/>kept words.</text:p>
 <text:p>A comment<office:annotation><dc:creator>Ada</dc:creator><dc:date>2024-01-02T10:00:00</dc:date><text:p>A
  note in the margin.</text:p></office:annotation> on this sentence.</text:p>
 <table:table table:name="Prices"><table:table-column table:number-columns-repeated="2"/>
  <table:table-row><table:table-cell office:value-type="string"><text:p>Paper</text:p></table:table-cell>
   <table:table-cell office:value-type="string"><text:p>12.50</text:p></table:table-cell></table:table-row>
  <table:table-row><table:table-cell office:value-type="string"><text:p>Ink</text:p></table:table-cell>
   <table:table-cell office:value-type="string"><text:p>3.20</text:p></table:table-cell></table:table-row>
 </table:table>
 <text:p>A picture: <draw:frame draw:name="Ramp" text:anchor-type="as-char" svg:width="1.2cm"\
 svg:height="0.8cm"><draw:image
  ><office:binary-data>{picture}</office:binary-data></draw:image></draw:frame> in the line.</text:p>
 <text:p text:style-name="Rtl">שלום עולם, זו שורה מימין לשמאל.</text:p>
 <text:p text:style-name="Wide">A landscape section at the end.</text:p>
</office:text></office:body>
</office:document>
"""

MARKDOWN = """# A note written in Markdown

Some *emphasis*, some **strong text** and a footnote.[^1] A [link](https://example.org/).

- one
- two
  1. two point one
  2. two point two

| Item  | Price |
|-------|------:|
| Paper | 12.50 |
| Ink   |  3.20 |

```
def code(block):
    return block
```

> A block quote
> over two lines.

[^1]: The text of the footnote.
"""


def soffice(source: Path, folder: Path, work: Path, *options: str) -> None:
    profile = (work / "profile").as_uri()
    subprocess.run(["soffice", f"-env:UserInstallation={profile}", "--headless", *options,
                    "--convert-to", "docx:MS Word 2007 XML", "--outdir", str(folder), str(source)],
                   check=True, capture_output=True, timeout=300)


def python_docx() -> bytes:
    document = docx.Document()
    section = document.sections[0]
    section.header.paragraphs[0].text = "Header written by python-docx"
    section.footer.paragraphs[0].text = "Footer written by python-docx"
    document.add_heading("A letter from python-docx", level=1)
    paragraph = document.add_paragraph("Plain text, then ")
    paragraph.add_run("bold").bold = True
    paragraph.add_run(" and ")
    paragraph.add_run("italic").italic = True
    paragraph.add_run(" words.")
    commented = document.add_paragraph("A sentence with a comment on it.")
    document.add_comment(commented.runs, text="A remark.", author="Ada", initials="AL")
    for item in ("first point", "second point"):
        document.add_paragraph(item, style="List Bullet")
    table = document.add_table(rows=2, cols=2)
    table.style = "Table Grid"
    for row, texts in zip(table.rows, [("Item", "Price"), ("Paper", "12.50")], strict=True):
        for cell, text in zip(row.cells, texts, strict=True):
            cell.text = text
    document.add_picture(io.BytesIO(png()), width=Cm(2))
    document.add_paragraph("Before a page break.").add_run().add_break(WD_BREAK.PAGE)
    document.add_paragraph("After the page break.")
    wide = document.add_section()
    wide.orientation = WD_ORIENT.LANDSCAPE
    wide.page_width, wide.page_height = section.page_height, section.page_width
    document.add_paragraph("A landscape section.")
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def skeleton(body: str, header: str) -> dict[str, bytes]:
    """A python-docx package whose body and header are the given WordprocessingML."""
    document = docx.Document()
    document.sections[0].header.paragraphs[0].text = "HEADER"
    document.add_paragraph("BODY")
    buffer = io.BytesIO()
    document.save(buffer)
    with zipfile.ZipFile(buffer) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    for name, placeholder, xml in [("word/document.xml", "BODY", body), ("word/header1.xml", "HEADER", header)]:
        text = members[name].decode()
        start = text.index("<w:p>", text.index("<w:body>") if name.endswith("document.xml") else 0)
        end = text.index("</w:p>", text.index(f">{placeholder}<")) + len("</w:p>")
        members[name] = (text[:start] + xml + text[end:]).encode()
    return members


def pack(members: dict[str, bytes]) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return buffer.getvalue()


def para(text: str, ppr: str = "", rpr: str = "") -> str:
    return f'<w:p>{ppr}<w:r>{rpr}<w:t xml:space="preserve">{text}</w:t></w:r></w:p>'


def table(rows: list[list[str]], tblpr: str = "") -> str:
    cells = "".join("<w:tr>" + "".join(f'<w:tc><w:tcPr><w:tcW w:w="3000" w:type="dxa"/></w:tcPr>{para(text)}</w:tc>'
                                       for text in row) + "</w:tr>" for row in rows)
    borders = "".join(f'<w:{side} w:val="single" w:sz="4" w:space="0" w:color="000000"/>'
                      for side in ("top", "left", "bottom", "right", "insideH", "insideV"))
    return f"<w:tbl><w:tblPr>{tblpr}<w:tblBorders>{borders}</w:tblBorders></w:tblPr>{cells}</w:tbl>"


def pretty() -> bytes:
    """python-docx's output pretty-printed, with what pretty-printing producers put into text."""
    document = docx.Document(io.BytesIO(python_docx()))
    document.add_paragraph("PRETTY-TITLE")
    document.add_paragraph("PRETTY-TABS")
    document.add_paragraph("PRETTY-EMPTY")
    buffer = io.BytesIO()
    document.save(buffer)
    with zipfile.ZipFile(buffer) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    for name, data in members.items():
        if name.endswith(".xml") and name.startswith("word/"):
            root = etree.fromstring(data)
            members[name] = etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True,
                                           pretty_print=True)
    text = members["word/document.xml"].decode()
    text = text.replace("<w:t>PRETTY-TITLE</w:t>", '<w:t xml:space="preserve">\nA pretty-printed title\n</w:t>')
    text = text.replace("<w:t>PRETTY-TABS</w:t>", '<w:t xml:space="preserve"\n  >tab\there,\r\ncarriage\rreturns</w:t>')
    text = text.replace("<w:t>PRETTY-EMPTY</w:t>",
                        '<w:t xml:space="preserve"/>\n          <w:tab/>\n          <w:t>after an empty text</w:t>')
    members["word/document.xml"] = text.encode()
    # A header written with Windows line ends.
    members["word/header1.xml"] = members["word/header1.xml"].replace(b"\n", b"\r\n")
    return pack(members)


REVISIONS = "".join([
    para("A document with tracked changes."),
    '<w:p><w:r><w:t xml:space="preserve">Kept text, </w:t></w:r>'
    '<w:ins w:id="1" w:author="Ada" w:date="2024-01-02T10:00:00Z"><w:r><w:t xml:space="preserve">inserted text, </w:t>'
    '</w:r></w:ins><w:del w:id="2" w:author="Ada" w:date="2024-01-02T10:01:00Z"><w:r><w:delText xml:space="preserve">'
    'deleted text, </w:delText></w:r></w:del><w:r><w:t>end.</w:t></w:r></w:p>',
    '<w:p><w:r><w:rPr><w:b/><w:rPrChange w:id="3" w:author="Ada" w:date="2024-01-02T10:02:00Z"><w:rPr/>'
    '</w:rPrChange></w:rPr><w:t>Made bold with tracking.</w:t></w:r></w:p>',
    '<w:p><w:pPr><w:jc w:val="center"/><w:pPrChange w:id="4" w:author="Ada" w:date="2024-01-02T10:03:00Z"><w:pPr/>'
    '</w:pPrChange></w:pPr><w:r><w:t>Centred with tracking.</w:t></w:r></w:p>',
    table([["Plain cell", "Another cell"], ["Third cell", "Fourth cell"]]),
    '<w:p><w:ins w:id="5" w:author="Ada" w:date="2024-01-02T10:04:00Z"><w:r><w:t>A whole inserted paragraph.</w:t>'
    '</w:r></w:ins></w:p>',
])

FIELDS = "".join([
    para("A document with fields, bookmarks and content controls."),
    '<w:p><w:r><w:t xml:space="preserve">This is page </w:t></w:r><w:r><w:fldChar w:fldCharType="begin"/></w:r>'
    '<w:r><w:instrText xml:space="preserve"> PAGE </w:instrText></w:r><w:r><w:fldChar w:fldCharType="separate"/></w:r>'
    '<w:r><w:t>1</w:t></w:r><w:r><w:fldChar w:fldCharType="end"/></w:r><w:r><w:t xml:space="preserve"> of </w:t></w:r>'
    '<w:fldSimple w:instr=" NUMPAGES "><w:r><w:t>1</w:t></w:r></w:fldSimple><w:r><w:t>.</w:t></w:r></w:p>',
    '<w:p><w:bookmarkStart w:id="0" w:name="target"/><w:r><w:t>Bookmarked words.</w:t></w:r>'
    '<w:bookmarkEnd w:id="0"/></w:p>',
    '<w:p><w:hyperlink w:anchor="target"><w:r><w:rPr><w:u w:val="single"/></w:rPr><w:t>A link to the bookmark.</w:t>'
    '</w:r></w:hyperlink></w:p>',
    '<w:sdt><w:sdtPr><w:alias w:val="Block control"/><w:id w:val="11"/></w:sdtPr><w:sdtContent>'
    + para("Text inside a block content control.") + '</w:sdtContent></w:sdt>',
    '<w:p><w:r><w:t xml:space="preserve">Inline control: </w:t></w:r><w:sdt><w:sdtPr><w:alias w:val="Inline"/>'
    '<w:id w:val="12"/><w:text/></w:sdtPr><w:sdtContent><w:r><w:t>typed value</w:t></w:r></w:sdtContent></w:sdt>'
    '<w:r><w:t>.</w:t></w:r></w:p>',
    table([["Name", "Value"], ["Alpha", "One"]]),
    para("Closing paragraph."),
])

RTL = "".join([
    para("A document with right-to-left text."),
    para("שלום עולם, זו פסקה בעברית.", '<w:pPr><w:bidi/><w:jc w:val="right"/></w:pPr>', "<w:rPr><w:rtl/></w:rPr>"),
    para("مرحبا بالعالم، هذه فقرة عربية.", '<w:pPr><w:bidi/></w:pPr>', "<w:rPr><w:rtl/></w:rPr>"),
    '<w:p><w:pPr><w:bidi/></w:pPr><w:r><w:rPr><w:rtl/></w:rPr><w:t xml:space="preserve">מחיר: </w:t></w:r>'
    '<w:r><w:t>12.50 EUR</w:t></w:r></w:p>',
    table([["עמודה", "Column"], ["ערך", "Value"]], "<w:bidiVisual/>"),
])


def hand_written(body: str, header: str) -> Callable[[], bytes]:
    return lambda: pack(skeleton(body, header))


WRITTEN: dict[str, Callable[[], bytes]] = {
    "python-docx.docx": python_docx,
    "hand-pretty.docx": pretty,
    "hand-revisions.docx": hand_written(REVISIONS, para("Header with a tracked document")),
    "hand-fields.docx": hand_written(FIELDS, para("Header beside fields")),
    "hand-rtl.docx": hand_written(RTL, para("כותרת עליונה", '<w:pPr><w:bidi/></w:pPr>', "<w:rPr><w:rtl/></w:rPr>")),
}


def main() -> None:
    folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent
    folder.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        (work / "libreoffice-html.html").write_text(HTML, encoding="utf-8")
        (work / "libreoffice-odt.fodt").write_text(FODT.replace("{picture}", base64.b64encode(png()).decode()),
                                                   encoding="utf-8")
        # Without the filter an HTML page opens as a web page, which Writer cannot save as .docx.
        soffice(work / "libreoffice-html.html", folder, work, "--infilter=HTML (StarWriter)")
        soffice(work / "libreoffice-odt.fodt", folder, work)
        (work / "pandoc.md").write_text(MARKDOWN, encoding="utf-8")
        subprocess.run(["pandoc", str(work / "pandoc.md"), "-o", str(folder / "pandoc.docx")], check=True)
    for name, write in WRITTEN.items():
        (folder / name).write_bytes(write())


if __name__ == "__main__":
    main()
