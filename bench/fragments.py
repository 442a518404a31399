"""Cost of placing a fragment many times, against rendering the same text from the template.

    python bench/fragments.py [--copies 100] [--pages 5] [--repeat 9]

A fragment of about `--pages` pages (a heading, paragraphs in a style of its own, a
numbered list, a table, a picture, a link and a footnote per page) is placed `--copies`
times by a paragraph loop around `{{p clause }}`, and rendered + saved by `Scrivelle`.
The other way renders the same body typed into the template inside the same loop. It
prints the median time of both, alternating call by call in one run, and their ratio.
The result is checked first: every copy's text, a list of its own per copy, one picture
stored, one note per copy per page.
"""

from __future__ import annotations

import argparse
import io
import random
import statistics
import sys
import zipfile
from pathlib import Path

import docx
from docx.enum.style import WD_STYLE_TYPE
from docx.opc.constants import RELATIONSHIP_TYPE
from docx.oxml import OxmlElement
from docx.oxml.ns import qn
from docx.shared import Cm, RGBColor
from lxml import etree
from PIL import Image

sys.path.insert(0, str(Path(__file__).parent))
from safety import alternating  # noqa: E402

import tesserine  # noqa: E402

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"
WORDS = ("contract", "party", "shall", "deliver", "goods", "within", "days", "notice", "terms", "payment",
         "agreement", "supplier", "buyer", "written", "consent", "liability", "the", "of", "and", "to")
FOOTNOTES = "application/vnd.openxmlformats-officedocument.wordprocessingml.footnotes+xml"


def sentence(rng: random.Random) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(8, 20))).capitalize() + "."


def picture() -> bytes:
    buffer = io.BytesIO()
    Image.new("RGB", (120, 60), (40, 90, 160)).save(buffer, format="PNG")
    return buffer.getvalue()


def run_with(tag: str, **attributes: str) -> OxmlElement:
    run, inner = OxmlElement("w:r"), OxmlElement(tag)
    for key, value in attributes.items():
        inner.set(qn(key), value)
    run.append(inner)
    return run


def clause(pages: int, loop: bool) -> bytes:
    """The fragment's document; with `loop`, the same body inside a template's paragraph loop."""
    rng = random.Random(11)
    document = docx.Document()
    style = document.styles.add_style("Clause", WD_STYLE_TYPE.PARAGRAPH)
    style.font.color.rgb = RGBColor(0x22, 0x44, 0x22)
    if loop:
        document.add_paragraph("{%p for n in range(copies) %}")
    for page in range(pages):
        document.add_heading(f"Section {page + 1}", 1)
        for _ in range(6):
            paragraph = document.add_paragraph(" ".join(sentence(rng) for _ in range(4)), style="Clause")
        paragraph._p.append(run_with("w:footnoteReference", **{"w:id": str(page + 1)}))
        for _ in range(4):
            document.add_paragraph(sentence(rng), style="List Number")
        table = document.add_table(rows=4, cols=3)
        for cell in table._cells:
            cell.text = sentence(rng)
        document.add_picture(io.BytesIO(picture()), width=Cm(3))
        link = OxmlElement("w:hyperlink")
        link.set(qn("r:id"), document.part.relate_to("https://example.com/terms", RELATIONSHIP_TYPE.HYPERLINK,
                                                     is_external=True))
        link.append(run_with("w:t"))
        link[0][0].text = "the terms"
        document.add_paragraph("See ")._p.append(link)
    if loop:
        document.add_paragraph("{%p endfor %}")
    buffer = io.BytesIO()
    document.save(buffer)
    return with_notes(buffer.getvalue(), pages)


def with_notes(data: bytes, pages: int) -> bytes:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        files = {name: archive.read(name) for name in archive.namelist()}
    notes = "".join(f'<w:footnote w:id="{page + 1}"><w:p><w:r><w:t>Note {page + 1}</w:t></w:r></w:p></w:footnote>'
                    for page in range(pages))
    files["word/footnotes.xml"] = f'<w:footnotes xmlns:w="{W[1:-1]}">{notes}</w:footnotes>'.encode()
    types = etree.fromstring(files["[Content_Types].xml"])
    etree.SubElement(types, "{http://schemas.openxmlformats.org/package/2006/content-types}Override",
                     PartName="/word/footnotes.xml", ContentType=FOOTNOTES)
    files["[Content_Types].xml"] = etree.tostring(types)
    rels = etree.fromstring(files["word/_rels/document.xml.rels"])
    etree.SubElement(rels, "{http://schemas.openxmlformats.org/package/2006/relationships}Relationship",
                     Id="rIdNotes", Target="footnotes.xml",
                     Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/footnotes")
    files["word/_rels/document.xml.rels"] = etree.tostring(rels)
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, content in files.items():
            archive.writestr(name, content)
    return buffer.getvalue()


def placing() -> bytes:
    document = docx.Document()
    document.add_paragraph("Contract")
    document.add_paragraph("{%p for n in range(copies) %}")
    document.add_paragraph("{{p clause }}")
    document.add_paragraph("{%p endfor %}")
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def render_and_save(document: tesserine.Scrivelle, context: dict[str, object]) -> bytes:
    document.render(context)
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def check(data: bytes, copies: int, pages: int, placed: bool) -> None:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        body = etree.fromstring(archive.read("word/document.xml"))
        notes = etree.fromstring(archive.read("word/footnotes.xml"))
        media = [name for name in archive.namelist() if name.startswith("word/media/")]
    headings = ["".join(p.itertext()) for p in body.iter(W + "p") if p.find(f"{W}pPr/{W}pStyle[@{W}val='Heading1']")
                is not None]
    assert headings == [f"Section {page + 1}" for page in range(pages)] * copies
    assert len(media) == 1
    if placed:
        # Typed into a loop, the copies share their lists and notes; placed, each has its own.
        lists = {number.get(W + "val") for number in body.iter(W + "numId")}
        numbered = [note for note in notes if note.get(W + "type") is None]
        assert len(lists) == copies and len(numbered) == copies * pages, (len(lists), len(numbered))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=100)
    parser.add_argument("--pages", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    fragment = tesserine.Fragment(clause(args.pages, loop=False))
    ways = {
        "fragments": (tesserine.Scrivelle(placing()), {"copies": args.copies, "clause": fragment}),
        "typed": (tesserine.Scrivelle(clause(args.pages, loop=True)), {"copies": args.copies}),
    }
    for name, (document, context) in ways.items():
        check(render_and_save(document, context), args.copies, args.pages, name == "fragments")
    times = alternating({name: lambda n=name: render_and_save(*ways[n]) for name in ways}, args.repeat)
    fragments, typed = statistics.median(times["fragments"]), statistics.median(times["typed"])
    print(f"{args.copies} copies of a {args.pages}-page fragment ({len(fragment.plain_text()):,} characters of text),"
          f" {args.repeat} rounds, backend {tesserine.BACKEND}")
    print(f"render + save: fragments {fragments * 1e3:.0f} ms, typed into the template {typed * 1e3:.0f} ms,"
          f" ratio {fragments / typed:.2f} (best of each: {min(times['fragments']) / min(times['typed']):.2f})")


if __name__ == "__main__":
    main()
